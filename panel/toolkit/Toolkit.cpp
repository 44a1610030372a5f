#include "Toolkit.h"

#include "Dialogs.h"

#include <QApplication>
#include <QKeyEvent>
#include <QStyleFactory>

namespace {

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

 private:
  TApplication& owner_;
};

// Runs a control's handlers; what they throw is shown and goes no further.
template <class Emit>
void RunHandler(Emit emitClick) {
  try {
    emitClick();
  } catch (...) {
    if (Application) Application->ShowCurrentException();
  }
}

}  // namespace

TApplication* Application = nullptr;

TApplication::TApplication(int& argc, char** argv) : argc_(argc), argv_(argv) { Application = this; }

TApplication::~TApplication() {
  for (const QPointer<TForm>& form : forms_) delete form.data();
  if (Application == this) Application = nullptr;
}

void TApplication::Initialize() {
  if (app_) return;
  app_ = std::make_unique<GuardedApplication>(argc_, argv_, *this);
  // The layouts are drawn for group titles that sit on the frame line, with
  // the first control 16 pixels below the group's top. The Windows style
  // draws groups so on every platform; Fusion puts the title above the frame,
  // where it would cross the first check box.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
}

void TApplication::Adopt(TForm* form) { forms_.emplace_back(form); }

TForm* TApplication::MainForm() const {
  for (const QPointer<TForm>& form : forms_)
    if (form) return form.data();
  return nullptr;
}

void TApplication::Run() {
  if (TForm* main = MainForm()) main->show();
  QApplication::exec();
}

void TApplication::ShowException(const Exception& exception) {
  ShowErrorBox(QGuiApplication::applicationDisplayName(), exception.Message());
}

void TApplication::ShowCurrentException() {
  try {
    throw;
  } catch (const Exception& exception) {
    ShowException(exception);
  } catch (...) {
    ShowException(Exception(QString()));
  }
}

void TApplication::Guard(const std::function<void()>& steps) {
  try {
    steps();
  } catch (...) {
    ShowCurrentException();
  }
}

TButton::TButton(QWidget* parent) : QPushButton(parent) {
  connect(this, &QPushButton::clicked, this, [this] { RunHandler([this] { emit Click(this); }); });
}

void TButton::keyPressEvent(QKeyEvent* event) {
  // A focused button is pressed with Enter as well as with Space, as users of
  // form-based programs expect; Qt leaves Enter to dialogs' default buttons.
  // A held key presses it once, as Space does: the keyboard's auto-repeat
  // would otherwise connect and disconnect the port a dozen times a second.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (!event->isAutoRepeat()) click();
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

TCheckBox::TCheckBox(QWidget* parent) : QCheckBox(parent) {
  // toggled, unlike clicked, also follows the program's own writes, on a
  // disabled box too, and runs before setChecked returns.
  connect(this, &QCheckBox::toggled, this, [this] { RunHandler([this] { emit Click(this); }); });
}
