#include "Simulator.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

int quitPipe[2] = {-1, -1};

void RequestQuit(int) {
  const char byte = 1;
  (void)!::write(quitPipe[1], &byte, 1);
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
    if (!headless) board.createWindow()->show();
    return QCoreApplication::exec();
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "lichtgeraet-sim: %s\n", error.what());
    return 1;
  }
}
