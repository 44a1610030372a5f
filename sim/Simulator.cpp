#include "Simulator.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

QString LineSettings(const termios& settings) {
  struct Speed {
    speed_t code;
    int baud;
  };
  static constexpr Speed speeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                                     {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  int baud = 0;
  for (const Speed& speed : speeds)
    if (cfgetospeed(&settings) == speed.code) baud = speed.baud;
  const tcflag_t size = settings.c_cflag & CSIZE;
  const int bits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
  const char parity = !(settings.c_cflag & PARENB) ? 'N' : (settings.c_cflag & PARODD) ? 'O' : 'E';
  const int stop = (settings.c_cflag & CSTOPB) ? 2 : 1;
  return QStringLiteral("%1 Baud, %2%3%4")
      .arg(baud ? QString::number(baud) : QStringLiteral("?"))
      .arg(bits)
      .arg(parity)
      .arg(stop);
}

}  // namespace

Simulator::Simulator(const QString& rawPath) {
  // The file first: a throw after openpty would leave both ends open, since
  // a constructor that throws runs no destructor.
  if (!rawPath.isEmpty()) {
    raw_.setFileName(rawPath);
    if (!raw_.open(QIODevice::Append | QIODevice::Unbuffered))
      throw std::runtime_error("cannot write " + rawPath.toStdString() + ": " +
                               raw_.errorString().toStdString());
  }

  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  devicePath_ = QString::fromLocal8Bit(name);

  reader_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
  connect(reader_.get(), &QSocketNotifier::activated, this, &Simulator::readBoard);
  auto* linePoll = new QTimer(this);
  connect(linePoll, &QTimer::timeout, this, &Simulator::pollLine);
  // The first reading comes from the loop, after the device path has been
  // printed: whoever started the simulator reads that first.
  linePoll->start(100);
  QTimer::singleShot(0, this, &Simulator::pollLine);
}

Simulator::~Simulator() {
  reader_.reset();
  ::close(master_);
  ::close(slave_);
}

void Simulator::holdOutput() {
  termios settings{};
  if (::tcgetattr(slave_, &settings) != 0)
    throw std::runtime_error(std::string("tcgetattr: ") + std::strerror(errno));
  settings.c_iflag |= IXON;
  if (::tcsetattr(slave_, TCSANOW, &settings) != 0)
    throw std::runtime_error(std::string("tcsetattr: ") + std::strerror(errno));
  sendFlowControl('\x13');
}

void Simulator::resumeOutput() { sendFlowControl('\x11'); }

void Simulator::sendFlowControl(char byte) {
  // The master's input is the terminal's: IXON acts on it before any
  // program on the terminal end sees it.
  while (::write(master_, &byte, 1) != 1)
    if (errno != EINTR) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
}

void Simulator::readBoard() {
  std::uint8_t buffer[256];
  for (;;) {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (raw_.isOpen()) raw_.write(reinterpret_cast<const char*>(buffer), n);
    for (const LightDecoder::Event& event : decoder_.Feed(buffer, static_cast<std::size_t>(n))) {
      if (event.kind == LightDecoder::Event::ProtocolError) {
        ++errors_;
        lastError_ = QString::fromStdString(event.text);
      }
      log(event.text);
    }
  }
  refreshWindow();
}

void Simulator::pollLine() {
  termios settings{};
  if (::tcgetattr(slave_, &settings) != 0) return;
  const QString line = LineSettings(settings);
  if (line == line_) return;
  line_ = line;
  log("Leitung: " + line.toStdString());
  refreshWindow();
}

void Simulator::log(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

QWidget* Simulator::createWindow() {
  window_ = std::make_unique<QWidget>();
  window_->setWindowTitle(QStringLiteral("Lichtgerät (Simulator)"));
  auto* layout = new QVBoxLayout(window_.get());
  auto* device = new QLabel(QStringLiteral("Anschluss: %1").arg(devicePath_));
  device->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(device);
  auto* grid = new QGridLayout;
  for (int i = 0; i < kChannels; ++i) {
    const char channel = static_cast<char>('a' + i);
    lamps_[i] = new QLabel;
    lamps_[i]->setFixedSize(16, 16);
    grid->addWidget(lamps_[i], i % 6, (i / 6) * 2);
    grid->addWidget(
        new QLabel(QStringLiteral("%1  %2").arg(QChar(channel)).arg(QString::fromUtf8(ChannelName(channel)))),
        i % 6, (i / 6) * 2 + 1);
  }
  layout->addLayout(grid);
  lineLabel_ = new QLabel;
  errorLabel_ = new QLabel;
  errorLabel_->setWordWrap(true);
  layout->addWidget(lineLabel_);
  layout->addWidget(errorLabel_);
  refreshWindow();
  return window_.get();
}

void Simulator::refreshWindow() {
  if (!window_) return;
  for (int i = 0; i < kChannels; ++i) {
    const bool on = decoder_.IsOn(static_cast<char>('a' + i));
    lamps_[i]->setStyleSheet(QStringLiteral("border-radius: 8px; border: 1px solid #555; background: %1;")
                                 .arg(on ? QStringLiteral("#ffd21f") : QStringLiteral("#3a3a3a")));
    lamps_[i]->setAccessibleName(on ? QStringLiteral("an") : QStringLiteral("aus"));
  }
  lineLabel_->setText(QStringLiteral("Leitung: %1").arg(line_));
  errorLabel_->setText(errors_ == 0
                           ? QStringLiteral("Keine Protokollfehler")
                           : QStringLiteral("%1 Protokollfehler, zuletzt: %2").arg(errors_).arg(lastError_));
}
