// The floor for a window that shows any text: an empty Qt window with one
// label. Drawing text makes Qt load the system's font configuration before
// the window is mapped, which an empty window never does.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare with text"));
  window.resize(378, 249);
  auto* label = new QLabel(QStringLiteral("Lichtsteuerung"), &window);
  label->move(8, 8);
  window.show();
  return QApplication::exec();
}
