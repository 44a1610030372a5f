#include "Dialogs.h"

#include "Boxes.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

#include <cstdio>
#include <system_error>
#include <utility>

namespace {

BoxHandler& CurrentHandler() {
  static BoxHandler handler;
  return handler;
}

MessageDescriber& CurrentDescriber() {
  static MessageDescriber describe;
  return describe;
}

std::function<QWidget*()>& CurrentOwner() {
  static std::function<QWidget*()> owner;
  return owner;
}

// Room for the caption in the window manager's title bar, next to its
// buttons; a box showing "a0" is otherwise narrower than its own title.
int TitleWidth(const QString& caption) {
  QFont title = QApplication::font();
  title.setBold(true);
  constexpr int kTitleButtons = 120;  // icon, close, maximise and minimise, and the frame
  return QFontMetrics(title).horizontalAdvance(caption) + kTitleButtons;
}

// Whether the box was closed by the user (a test's handler counts as one).
bool ShowNow(const Box& box, QWidget* owner) {
  if (const BoxHandler& handler = CurrentHandler()) {
    handler(box);
    return true;
  }
  // Before the application object exists (a failed start-up) there is no
  // screen to show a box on; the terminal is all that is left.
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(box.caption), qPrintable(box.text));
    return true;
  }
  QMessageBox dialog(box.kind == BoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, box.caption,
                     box.text, QMessageBox::Ok, owner);
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.setAccessibleDescription(box.description);
  // QMessageBox sizes itself to its layout when shown, so the title's room
  // goes into the layout.
  if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
    grid->addItem(new QSpacerItem(TitleWidth(box.caption), 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  dialog.exec();
  // Every way a person closes the box clicks its one button: Enter, Escape,
  // a screen reader's press, and the title bar's close, which QMessageBox
  // turns into a click of its escape button. A box that returns with none
  // clicked had its loop ended from elsewhere: QCoreApplication::exit(),
  // which, unlike quit(), no application can refuse.
  return dialog.clickedButton() != nullptr;
}

// The box is gone (out of ShowNow's scope) before the program may end: it
// belongs to the main window, which the end takes down.
void Show(const Box& box, QWidget* owner) {
  EndIfQuitWhileHeld();
  EndIfQuitWhileHeld(ShowNow(box, owner));
}

}  // namespace

BoxHandler SetBoxHandler(BoxHandler handler) { return std::exchange(CurrentHandler(), std::move(handler)); }

void SetBoxOwner(std::function<QWidget*()> owner) { CurrentOwner() = std::move(owner); }

void ShowMessage(const std::string& text) {
  const MessageDescriber& describe = CurrentDescriber();
  Show({BoxKind::Message, QGuiApplication::applicationDisplayName(), QString::fromStdString(text),
        describe ? QString::fromStdString(describe(text)) : QString()},
       CurrentOwner() ? CurrentOwner()() : nullptr);
}

void SetMessageDescriber(MessageDescriber describe) { CurrentDescriber() = std::move(describe); }

// No owner window; Qt makes a parentless modal box transient for the
// program's window group, which keeps it above the panel all the same.
void ShowErrorBox(const std::string& caption, const std::string& text) {
  Show({BoxKind::Error, QString::fromStdString(caption), QString::fromStdString(text)}, nullptr);
}

std::string SysErrorMessage(int code) {
  // The system category goes through the thread-safe strerror_r and follows
  // the locale that QApplication has set from the environment.
  return QString::fromLocal8Bit(std::system_category().message(code).c_str()).toStdString();
}
