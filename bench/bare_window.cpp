// The toolkit's floor for start-up: an empty Qt window of the panel's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QStringLiteral("bare"));
  window.resize(378, 249);
  window.show();
  return QApplication::exec();
}
