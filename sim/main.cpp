#include "Simulator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

int quitPipe[2] = {-1, -1};

void RequestQuit(int) {
  const int saved = errno;  // the interrupted code may be about to read it
  const char byte = 1;
  (void)!::write(quitPipe[1], &byte, 1);
  errno = saved;
}

// Puts `window` beside the rectangle `x,y,w,h` (where another window was
// designed to open) without covering it: to its right, else to its left,
// else below it, and always on the screen.
void PlaceBeside(QWidget* window, const QString& rectangle) {
  const QStringList parts = rectangle.split(',');
  if (parts.size() != 4) return;
  const QRect other(parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), parts[3].toInt());
  const QRect screen = window->screen()->availableGeometry();
  window->adjustSize();
  // The frame is not known before the window is shown; leave room for a typical one.
  const QSize size = window->size() + QSize(8, 32);
  constexpr int kGap = 8;
  QPoint place(other.right() + 1 + kGap, other.top());
  if (place.x() + size.width() > screen.right() + 1) place.setX(other.left() - kGap - size.width());
  if (place.x() < screen.left()) place = QPoint(other.left(), other.bottom() + 1 + kGap);
  place.setX(
      std::clamp(place.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width())));
  place.setY(
      std::clamp(place.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height())));
  window->move(place);
}

}  // namespace

int main(int argc, char* argv[]) {
  bool headless = false;
  for (int i = 1; i < argc; ++i) headless = headless || std::strcmp(argv[i], "--headless") == 0;
  std::unique_ptr<QCoreApplication> app =
      headless ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("lichtgeraet-sim"));

  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral(
      "Simulates the lighting board on a pseudo-terminal. Prints the device to open on the first line,\n"
      "then one line per command received."));
  options.addHelpOption();
  options.addOption({QStringLiteral("headless"), QStringLiteral("No window, log only.")});
  options.addOption({QStringLiteral("raw"), QStringLiteral("Append every byte received to <file>."),
                     QStringLiteral("file")});
  options.addOption({QStringLiteral("beside"),
                     QStringLiteral("Open the window beside the rectangle <x,y,width,height>, not over it."),
                     QStringLiteral("rectangle")});
  options.process(*app);

  // SIGTERM and SIGINT end the loop cleanly, so the raw file is complete.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitPipe) != 0) return 1;
  QSocketNotifier quit(quitPipe[0], QSocketNotifier::Read);
  QObject::connect(&quit, &QSocketNotifier::activated, app.get(), &QCoreApplication::quit);
  std::signal(SIGTERM, RequestQuit);
  std::signal(SIGINT, RequestQuit);

  try {
    Simulator board(options.value(QStringLiteral("raw")));
    std::printf("%s\n", qPrintable(board.devicePath()));
    std::fflush(stdout);
    if (!headless) {
      QWidget* window = board.createWindow();
      if (options.isSet(QStringLiteral("beside")))
        PlaceBeside(window, options.value(QStringLiteral("beside")));
      window->show();
    }
    return QCoreApplication::exec();
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "lichtgeraet-sim: %s\n", error.what());
    return 1;
  }
}
