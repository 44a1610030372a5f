#include "Unit1.h"

#include <QGuiApplication>

int main(int argc, char* argv[]) {
  QGuiApplication::setApplicationName(QStringLiteral("lichtsteuerung"));
  // Lets the desktop match the window to its launcher entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("de.lichtsteuerung.Lichtsteuerung"));

  TApplication Application(argc, argv);
  Application.Guard([&] {
    Application.Initialize();
    Application.CreateForm(Form1);
    Application.Run();
  });
  return 0;
}
