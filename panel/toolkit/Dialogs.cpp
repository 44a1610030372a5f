#include "Dialogs.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <system_error>
#include <utility>

namespace {

BoxHandler& CurrentHandler() {
  static BoxHandler handler;
  return handler;
}

void Show(const Box& box) {
  if (const BoxHandler& handler = CurrentHandler()) {
    handler(box);
    return;
  }
  // Before the application object exists (a failed start-up) there is no
  // screen to show a box on; the terminal is all that is left.
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(box.caption), qPrintable(box.text));
    return;
  }
  QMessageBox dialog(box.kind == BoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, box.caption,
                     box.text, QMessageBox::Ok);
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.exec();
}

}  // namespace

BoxHandler SetBoxHandler(BoxHandler handler) { return std::exchange(CurrentHandler(), std::move(handler)); }

void ShowMessage(const QString& text) {
  Show({BoxKind::Message, QGuiApplication::applicationDisplayName(), text});
}

void ShowErrorBox(const QString& caption, const QString& text) { Show({BoxKind::Error, caption, text}); }

QString SysErrorMessage(int code) {
  // The system category goes through the thread-safe strerror_r and follows
  // the locale that QApplication has set from the environment.
  return QString::fromLocal8Bit(std::system_category().message(code).c_str());
}
