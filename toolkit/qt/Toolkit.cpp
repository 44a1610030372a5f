#include "Toolkit.h"

#include "Dialogs.h"

#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QHash>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QSessionManager>
#include <QSignalBlocker>
#include <QStyleFactory>
#include <QToolTip>
#include <QVersionNumber>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <utility>

namespace {

bool Held();
void QuitWhileHeld();

// Qt lets no exception leave its event loop. The form toolkit the panel is
// written against shows what a handler throws and carries on with the loop.
// Handlers are guarded where they are called (RunHandler), so that nothing
// unwinds through Qt's widget code, which is not built for it and would leak;
// this guard on the dispatch of every event catches whatever else escapes.
class GuardedApplication : public QApplication {
 public:
  GuardedApplication(int& argc, char** argv, TApplication& owner) : QApplication(argc, argv), owner_(owner) {}

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (...) {
      owner_.ShowCurrentException();
      return false;
    }
  }

 protected:
  // A quit comes here as QEvent::Quit, sent at once: Qt 6's quit() from
  // anywhere (while the main loop runs; outside it quit() does nothing), and
  // a session manager's Die, which Qt's xcb plugin turns into an
  // application termination. Qt's own handling closes the box that is up
  // as its escape button would, so that the box returns as if the user had
  // closed it and the send writes its command; then it ends every event
  // loop, and every later box of the send returns at once and is written
  // too. Measured on Qt 6.4.
  bool event(QEvent* event) override {
    if (event->type() == QEvent::Quit && Held()) {
      QuitWhileHeld();
      return true;
    }
    return QApplication::event(event);
  }

 private:
  TApplication& owner_;
};

// A key held down acts once, wherever the focus is: on the button it was
// pressed on, and not on the boxes that follow it (each would take the next
// repeat as a fresh press). An X server repeats a held key as a release and
// a press with one timestamp. Qt marks them as auto-repeat only when it
// finds the press already queued behind the release; a client that is late
// (a busy machine) gets both as plain events. So a press that carries the
// timestamp of the same key's last release is a repeat, however late it is
// handled. Its release went through unmarked: a button that acts on release
// (Space) acts at the first repeat instead of the real release, still once.
class HeldKeys : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
      return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->isAutoRepeat()) return true;
    // 0: no time known (an event made by a program), no repeat to tell.
    if (key->timestamp() == 0) return false;
    if (event->type() == QEvent::KeyRelease) {
      lastRelease_[key->key()] = key->timestamp();
      return false;
    }
    const auto released = lastRelease_.constFind(key->key());
    return released != lastRelease_.cend() && released.value() == key->timestamp();
  }

 private:
  QHash<int, quint64> lastRelease_;  // key -> timestamp of its last release
};

// Handlers running, with the cascades they raise through their own writes.
int running = 0;

// One send at a time, whatever asks for it. A modal box keeps the mouse, the
// keyboard and close requests from the panel, but Qt carries out a screen
// reader's Press or Toggle on a control of a blocked window all the same,
// inside the box's loop and so inside the send. Such an action is refused
// while a handler runs or a box is up. Qt's AT-SPI bridge answers every
// action with success; the reader hears the refusal in the state it reads
// back, which has not changed.
bool Held() { return running > 0 || QApplication::activeModalWidget() != nullptr; }

// A quit that came while the panel was held ends the program at the next
// box, before that box is shown or once it is down, and so before the send
// writes the command the box is for (EndIfQuitWhileHeld). The program cannot
// unwind to its event loop from there without the send going on, so the
// windows go there and then, and the program ends with 0: the panel's
// destructor releases the port and writes nothing.
bool quitWhileHeld = false;
std::function<void()> destroyForms;  // set by Initialize

void QuitWhileHeld() {
  quitWhileHeld = true;
  // Ends the box's loop (and a session manager's wait for leave to
  // interact, should the Die come during it) without closing any window.
  QCoreApplication::exit(0);
}

// Runs a control's handlers; what they throw is shown and goes no further.
template <class Emit>
void RunHandler(Emit emitClick) {
  struct Running {
    Running() { ++running; }
    ~Running() { --running; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
  } const held;
  try {
    emitClick();
  } catch (...) {
    if (Application) Application->ShowCurrentException();
  }
}

}  // namespace

TApplication* Application = nullptr;

// Qt's application object, made by Initialize, and the windows.
struct TApplication::Native {
  int& argc;
  char** argv;
  std::unique_ptr<QApplication> app;
  std::vector<QPointer<TForm>> forms;
};

TApplication::TApplication(int& argc, char** argv) : native_(new Native{argc, argv, nullptr, {}}) {
  Application = this;
}

namespace {

// Qt's Wayland plugin cannot be trusted to take its windows down in the two
// series Debian ships, 6.4 (Debian 12) and 6.8 (Debian 13); measured on
// their 6.4.2 and 6.8.2:
// - 6.4.2 destroys a window's pending frame callback in the main thread
//   while its frame-event thread may be dispatching that very callback,
//   which destroys it too: libwayland aborts ("proxy->refcount > 0"). Seen
//   once in 1000 closes of the panel, in the hide that follows an accepted
//   close.
// - Both stop their two event threads one after the other as the
//   application object goes. When the first leaves with a read still
//   prepared for it while the second waits to read, the second waits for
//   ever, and so does the program, its window gone: measured under sway, in
//   about 1 close of 25 on 6.4.2, and on 6.8.2 in 2 of 61.
// So in both series, whatever patch release an update brings (none is known
// to fix either), the main form's close neither hides nor destroys a
// window: the panel releases what it holds, and the program ends with the
// windows up, which the compositor drops with the connection (~TForm).
// Other series are unmeasured and take the ordinary way, so that a slow
// exit there shows.
bool QtWaylandTeardownUnsafe() {
  const QVersionNumber qt = QLibraryInfo::version();
  return QGuiApplication::platformName() == QLatin1String("wayland") && qt.majorVersion() == 6 &&
         (qt.minorVersion() == 4 || qt.minorVersion() == 8);
}

// Set once the event loop is over: from then on the windows go because the
// program ends.
bool loopEnded = false;

// While a box is up, a session manager's log-out is cancelled where it lets
// the program interact, as Windows' WM_QUERYENDSESSION is answered FALSE.
// Qt's xcb plugin asks leave to interact (InteractRequest) inside
// allowsInteraction and waits for it in a loop of its own; after this
// handler it sends InteractDone with cancel-shutdown, then
// SaveYourselfDone. QSessionManager::release() must not be called: it
// sends InteractDone without the cancel. A session manager that gives no
// leave to interact, or sends Die regardless, ends the program at the box
// (QuitWhileHeld).
void CancelLogOutWhileHeld(QSessionManager& manager) {
  if (Held() && (manager.allowsInteraction() || manager.allowsErrorInteraction())) manager.cancel();
}

// Where the application object goes without the event loop having ended
// (the panel failed to start), the teardown may still hang. Everything the
// program owns has been released by then, so it ends as it would have, with
// 0, and says where it was held up.
void EndIfTeardownHangs() {
  static std::atomic<bool> armed{false};
  if (armed.exchange(true)) return;
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::fprintf(stderr,
                 "lichtsteuerung: Qt %s's Wayland plugin hung in its teardown (ending the application "
                 "object); ending with 0\n",
                 qVersion());
    std::fflush(nullptr);
    std::_Exit(0);
  }).detach();
}

}  // namespace

void EndIfQuitWhileHeld(bool closedByUser) {
  if (!closedByUser) quitWhileHeld = true;
  if (!quitWhileHeld || !destroyForms) return;
  // As after the event loop: where Qt's Wayland plugin is not to be trusted
  // with taking the main window down, ~TForm ends the program itself.
  loopEnded = true;
  destroyForms();
  std::fflush(nullptr);
  std::_Exit(0);
}

TApplication::~TApplication() {
  destroyForms = nullptr;
  DestroyForms();
  SetBoxOwner(nullptr);
  if (native_->app && QtWaylandTeardownUnsafe()) EndIfTeardownHangs();
  native_->app.reset();
  if (Application == this) Application = nullptr;
}

void TApplication::DestroyForms() {
  for (const QPointer<TForm>& form : native_->forms) delete form.data();
}

namespace {
QAccessibleInterface* DescribedItemFactory(const QString& className, QObject* object);
}  // namespace

void TApplication::Initialize() {
  if (native_->app) return;
  native_->app = std::make_unique<GuardedApplication>(native_->argc, native_->argv, *this);
  // The layouts are drawn for group titles that sit on the frame line, with
  // the first control 16 pixels below the group's top. The Windows style
  // draws groups so on every platform; Fusion puts the title above the frame,
  // where it would cross the first check box.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
  // Before any window: Qt keeps the first interface made for a widget, and
  // may make one while the widget is being built. Factories installed later
  // are asked first, before Qt's own.
  QAccessible::installFactory(DescribedItemFactory);
  native_->app->installEventFilter(new HeldKeys(native_->app.get()));
  // Emitted inside the session manager's callback, which the interaction
  // handshake needs to finish before it returns.
  QObject::connect(native_->app.get(), &QGuiApplication::commitDataRequest, native_->app.get(),
                   CancelLogOutWhileHeld, Qt::DirectConnection);
  destroyForms = [this] { DestroyForms(); };
  // Boxes belong to the main window, so that every window manager keeps
  // them above the panel they block and centres them there.
  SetBoxOwner([this] { return MainForm(); });
}

void TApplication::SetName(const char* name, const char* desktopId) {
  QGuiApplication::setApplicationName(QString::fromUtf8(name));
  QGuiApplication::setDesktopFileName(QString::fromUtf8(desktopId));
}

void TApplication::Adopt(TForm* form, std::function<void()> forget) {
  QObject::connect(form, &QObject::destroyed, std::move(forget));
  native_->forms.emplace_back(form);
}

void TForm::Load(const FormLayout& layout) {
  setObjectName(QLatin1String(layout.name));
  setWindowTitle(QString::fromUtf8(layout.caption));
  // The layout was drawn for an 11-pixel bitmap font whose captions run
  // narrower than any free Arial-like face of that size; the narrow face is
  // the one that keeps every caption inside its control. The size is set in
  // pixels, as the layout gives it: points would turn into other pixel
  // sizes at other logical DPI.
  QFont designed(QStringLiteral("Liberation Sans Narrow"));
  designed.setPixelSize(layout.fontPixels);
  setFont(designed);

  QWidget* previous = nullptr;  // the tab order is the stored order
  const auto place = [&](QWidget* control, const char* name, const Rect& rect) {
    control->setObjectName(QLatin1String(name));
    control->setGeometry(rect.left, rect.top, rect.width, rect.height);
    if (previous) QWidget::setTabOrder(previous, control);
    previous = control;
  };
  for (std::size_t i = 0; i < layout.count; ++i) {
    const ControlLayout& row = layout.controls[i];
    QWidget* parent = row.parent ? findChild<QWidget*>(QLatin1String(row.parent)) : this;
    const QString caption = QString::fromUtf8(row.caption);
    QWidget* control = nullptr;
    switch (row.kind) {
      case ControlKind::Button:
        control = new TButton(parent);
        static_cast<TButton*>(control)->setText(caption);
        break;
      case ControlKind::RadioGroup:
        control = new TRadioGroup(caption, parent);
        break;
      case ControlKind::GroupBox:
        control = new TGroupBox(caption, parent);
        break;
      case ControlKind::CheckBox:
        control = new TCheckBox(parent);
        static_cast<TCheckBox*>(control)->setText(caption);
        break;
    }
    if (row.spoken) control->setAccessibleName(QString::fromUtf8(row.spoken));
    place(control, row.name, row.rect);
    int count = 0;
    while (row.items && row.items[count]) ++count;
    for (int item = 0; item < count; ++item) {
      auto* radio = new QRadioButton(QString::fromUtf8(row.items[item]), control);
      place(radio, row.items[item], RadioItemRect(row.rect, item, count));
      radio->setChecked(item == row.itemIndex);
    }
  }
  // The layout's client area is the inside of the designed window's frame;
  // the window manager adds its own.
  resize(ClientWidth(layout), ClientHeight(layout));
  setMinimumSize(size());
  move(layout.rect.left, layout.rect.top);  // the window manager may place it elsewhere
}

// Closing the main form ends the program, as the form toolkit the panel is
// written against has it, rather than when Qt counts no visible window left
// (a box or tooltip still being torn down would count). Where Qt's Wayland
// plugin is not to be trusted with it, the window is not hidden on the way.
void TForm::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  if (!event->isAccepted() || !owner_ || owner_->MainForm() != this) return;
  if (QtWaylandTeardownUnsafe()) event->ignore();
  QCoreApplication::quit();
}

TForm::~TForm() {
  // The panel's own destructor has run: the port is released. The native
  // window is still there, and where Qt's Wayland plugin is not to be
  // trusted to take it down (QtWaylandTeardownUnsafe), the program ends now,
  // with 0, as it would have a moment later. Not while the panel is being
  // built: a form that throws from its constructor is reported, not ended.
  if (loopEnded && owner_ && owner_->MainForm() == this && QtWaylandTeardownUnsafe()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
}

TButton* TForm::Button(const char* name) const { return findChild<TButton*>(QLatin1String(name)); }
TRadioGroup* TForm::RadioGroup(const char* name) const {
  return findChild<TRadioGroup*>(QLatin1String(name));
}
TGroupBox* TForm::GroupBox(const char* name) const { return findChild<TGroupBox*>(QLatin1String(name)); }
TCheckBox* TForm::CheckBox(const char* name) const { return findChild<TCheckBox*>(QLatin1String(name)); }

TForm* TApplication::MainForm() const {
  for (const QPointer<TForm>& form : native_->forms)
    if (form) return form.data();
  return nullptr;
}

void TApplication::Run() {
  if (TForm* main = MainForm()) main->show();
  QApplication::exec();
  loopEnded = true;
  // The windows go now, and a round trip takes in the display server's
  // answers to that. Left to the application object's teardown, those
  // answers would arrive while Qt's Wayland plugin stops its event threads.
  DestroyForms();
  QGuiApplication::sync();
}

void TApplication::ShowException(const Exception& exception) {
  ShowErrorBox(QGuiApplication::applicationDisplayName().toStdString(), exception.Message());
}

TButton::TButton(QWidget* parent) : QPushButton(parent) {
  connect(this, &QPushButton::clicked, this, [this] {
    if (!Held()) RunHandler([this] { emit Click(this); });
  });
}

void TButton::keyPressEvent(QKeyEvent* event) {
  // A focused button is pressed with Enter as well as with Space, as users of
  // form-based programs expect; Qt leaves Enter to dialogs' default buttons.
  // Repeats of a held key never get here (HeldKeys).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    click();
    return;
  }
  QPushButton::keyPressEvent(event);
}

QList<QRadioButton*> TRadioGroup::Items() const {
  return findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
}

int TRadioGroup::ItemIndex() const {
  const QList<QRadioButton*> items = Items();
  for (int i = 0; i < items.size(); ++i) {
    if (items[i]->isChecked()) return i;
  }
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  const QList<QRadioButton*> items = Items();
  if (index >= 0 && index < items.size()) items[index]->setChecked(true);
}

namespace {

// A described radio group's item as a screen reader sees it: a radio button
// whose description is the group's, asked when read. Qt's own interface for
// a radio button would give a fixed text.
class DescribedItem : public QAccessibleWidget {
 public:
  DescribedItem(QRadioButton* item, TRadioGroup* group)
      : QAccessibleWidget(item, QAccessible::RadioButton), group_(group) {}

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Name) return item()->text();
    if (kind == QAccessible::Description && group_ && group_->DescribesItems())
      return group_->ItemDescription(static_cast<int>(group_->Items().indexOf(item())));
    return QAccessibleWidget::text(kind);
  }

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = true;
    state.checked = item()->isChecked();
    return state;
  }

  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (item()->isEnabled()) names.prepend(toggleAction());
    return names;
  }

  void doAction(const QString& name) override {
    if (name == toggleAction() || name == pressAction()) {
      if (item()->isEnabled() && !Held()) item()->click();
      return;
    }
    QAccessibleWidget::doAction(name);
  }

 private:
  QRadioButton* item() const { return static_cast<QRadioButton*>(widget()); }
  QPointer<TRadioGroup> group_;
};

QAccessibleInterface* DescribedItemFactory(const QString& /*className*/, QObject* object) {
  auto* item = qobject_cast<QRadioButton*>(object);
  auto* group = item ? qobject_cast<TRadioGroup*>(item->parentWidget()) : nullptr;
  if (!group || !group->Items().contains(item)) return nullptr;
  return new DescribedItem(item, group);
}

}  // namespace

void TRadioGroup::SetItemDescriber(std::function<std::string(int index)> describe) {
  describe_ = std::move(describe);
  for (QRadioButton* item : Items()) item->installEventFilter(this);
}

QString TRadioGroup::ItemDescription(int index) const {
  if (!describe_ || index < 0 || index >= Items().size()) return {};
  return QString::fromStdString(describe_(index));
}

bool TRadioGroup::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QGroupBox::eventFilter(watched, event);
  const qsizetype item = Items().indexOf(qobject_cast<QRadioButton*>(watched));
  if (item < 0 || !describe_) return QGroupBox::eventFilter(watched, event);
  QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), ItemDescription(static_cast<int>(item)),
                     qobject_cast<QWidget*>(watched));
  return true;
}

TCheckBox::TCheckBox(QWidget* parent) : QCheckBox(parent) {
  // toggled, unlike clicked, also follows the program's own writes, on a
  // disabled box too, and runs before setChecked returns. A change from
  // outside while the panel is held (Held) is put back before any handler
  // could read it.
  connect(this, &QCheckBox::toggled, this, [this](bool checked) {
    // Taken at once: a reader's toggle of this very box inside the handler
    // it runs below is no write of the program's.
    const bool own = std::exchange(writing_, false);
    if (!own && Held()) {
      const QSignalBlocker quiet(this);
      setChecked(!checked);
      return;
    }
    RunHandler([this] { emit Click(this); });
  });
}

void TCheckBox::SetChecked(bool checked) {
  writing_ = true;
  setChecked(checked);
  writing_ = false;  // where the state was already so, and nothing took it
}
