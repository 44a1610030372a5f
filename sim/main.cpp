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

// Signals reach the event loop through a socket: SIGTERM and SIGINT end it
// cleanly, so the raw file is complete; SIGUSR1 and SIGUSR2 hold and
// release the panel's output.
int signalPipe[2] = {-1, -1};

void Forward(int signal) {
  const int saved = errno;  // the interrupted code may be about to read it
  const auto byte = static_cast<char>(signal);
  (void)!::write(signalPipe[1], &byte, 1);
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
  options.addOption({QStringLiteral("hold"),
                     QStringLiteral("Stop reading from the start: XON/XOFF on the line, then XOFF.\n"
                                    "SIGUSR2 sends XON, SIGUSR1 XOFF again.")});
  options.addOption({QStringLiteral("beside"),
                     QStringLiteral("Open the window beside the rectangle <x,y,width,height>, not over it."),
                     QStringLiteral("rectangle")});
  options.process(*app);

  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return 1;
  try {
    Simulator board(options.value(QStringLiteral("raw")));
    // Held before anyone can open the device: no write of the panel's goes out.
    if (options.isSet(QStringLiteral("hold"))) board.holdOutput();
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, app.get(), [&board, &app] {
      char signal = 0;
      if (::read(signalPipe[0], &signal, 1) != 1) return;
      if (signal != SIGUSR1 && signal != SIGUSR2) {
        app->quit();
        return;
      }
      // Nothing may unwind through Qt's event loop.
      try {
        signal == SIGUSR1 ? board.holdOutput() : board.resumeOutput();
        std::printf("%s\n", signal == SIGUSR1 ? "Ausgabe angehalten (XOFF)" : "Ausgabe freigegeben (XON)");
        std::fflush(stdout);
      } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "lichtgeraet-sim: %s\n", error.what());
      }
    });
    for (const int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) std::signal(signal, Forward);
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
