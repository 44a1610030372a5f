#include "Support.h"

#include "ComPort.h"
#include "Unit1.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The board's end of a real line: raw, so it neither echoes the panel's
// bytes back nor acts on flow-control characters itself.
int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) qFatal("cannot open %s: %s", path.c_str(), std::strerror(errno));
  termios settings{};
  ::tcgetattr(fd, &settings);
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~CRTSCTS;
  ::cfsetspeed(&settings, B9600);
  ::tcsetattr(fd, TCSANOW, &settings);
  ::tcflush(fd, TCIOFLUSH);
  return fd;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Polls `done` every few milliseconds until it holds or `limit` has passed.
template <class Condition>
bool WaitFor(Condition done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    ::poll(nullptr, 0, 5);
  }
  return true;
}

}  // namespace

bool Board::real() { return !Env("LICHT_TEST_PORT").empty(); }

bool Board::canUnplug() { return !real() || !Env("LICHT_TEST_PLUG").empty(); }

Board::Board() {
  if (!real()) {
    char name[256] = {};
    if (::openpty(&far_, &near_, name, nullptr, nullptr) != 0) qFatal("openpty failed");
    ::fcntl(far_, F_SETFL, ::fcntl(far_, F_GETFL) | O_NONBLOCK);
    ::fcntl(far_, F_SETFD, FD_CLOEXEC);
    ::fcntl(near_, F_SETFD, FD_CLOEXEC);
    path_ = name;
    return;
  }
  path_ = Env("LICHT_TEST_PORT");
  if (canUnplug()) {
    plug_ = OpenRaw(Env("LICHT_TEST_PLUG"));
    if (!Exists(path_)) plugIn();  // pulled by an earlier test
  }
  far_ = OpenRaw(Env("LICHT_TEST_BOARD"));
  saved_ = lineSettings();
}

Board::~Board() {
  if (real() && Exists(path_)) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::tcsetattr(fd, TCSANOW, &saved_) != 0)
      qWarning("cannot put back the settings of %s: %s", path_.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
  }
  if (far_ >= 0) ::close(far_);
  if (near_ >= 0) ::close(near_);
  if (plug_ >= 0) ::close(plug_);
}

QByteArray Board::take(std::size_t atLeast) {
  QByteArray bytes;
  const auto read = [&] {
    char buffer[512];
    for (;;) {
      const ssize_t n = far_ >= 0 ? ::read(far_, buffer, sizeof buffer) : -1;
      if (n <= 0) break;
      bytes.append(buffer, static_cast<int>(n));
    }
    return static_cast<std::size_t>(bytes.size()) >= atLeast;
  };
  // A pty hands the bytes over at once; a real line within milliseconds.
  WaitFor(read, std::chrono::seconds(2));
  return bytes;
}

termios Board::lineSettings() const {
  termios settings{};
  if (near_ >= 0) {
    ::tcgetattr(near_, &settings);
    return settings;
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || ::tcgetattr(fd, &settings) != 0)
    qFatal("cannot read the settings of %s: %s", path_.c_str(), std::strerror(errno));
  ::close(fd);
  return settings;
}

void Board::setLineSettings(const termios& settings) {
  const int fd = near_ >= 0 ? near_ : ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || ::tcsetattr(fd, TCSANOW, &settings) != 0) qFatal("cannot set the line of %s", path_.c_str());
  if (fd != near_) ::close(fd);
}

// The answer to this very request, by its tag: one to a request the board
// gave up on may still come (late) to a later board on the same line.
QString Board::ask(const char* request) {
  static int asked = 0;
  const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++asked);
  const std::string asking = std::string(request) + " " + tag + "\n";
  if (::write(plug_, asking.data(), asking.size()) != static_cast<ssize_t>(asking.size()))
    return QStringLiteral("cannot ask the cable puller: ") + std::strerror(errno);
  std::string line, answer;
  const bool answered = WaitFor(
      [&] {
        char c = 0;
        while (::read(plug_, &c, 1) == 1) {
          if (c != '\n') {
            line += c;
            continue;
          }
          if (line == "ok " + tag || line.rfind("failed " + tag + ":", 0) == 0) {
            answer = line;
            return true;
          }
          line.clear();  // to an earlier request
        }
        return false;
      },
      // The cable puller may wait for the emulated machine, which is slow
      // while both of its processors are busy; it answers within 30 s.
      std::chrono::seconds(40));
  if (!answered) return QStringLiteral("no answer from the cable puller within 40 s");
  return answer == "ok " + tag ? QString() : QString::fromStdString(answer);
}

void Board::unplug() {
  if (!real()) {
    ::close(far_);
    far_ = -1;
    return;
  }
  if (plug_ < 0) qFatal("this line cannot be unplugged");
  if (const QString refused = ask("unplug"); !refused.isEmpty())
    qFatal("%s was not pulled: %s", path_.c_str(), qPrintable(refused));
  if (!WaitFor([&] { return !Exists(path_); }, std::chrono::seconds(10)))
    qFatal("%s did not go away", path_.c_str());
}

void Board::plugIn() {
  // Enumerating a USB device takes the guest a few seconds under emulation,
  // and its node belongs to root until the hotplug helper has given it to
  // the group dialout.
  if (const QString refused = ask("plug"); !refused.isEmpty())
    qFatal("the cable puller did not put %s back: %s", path_.c_str(), qPrintable(refused));
  // The node can be there, and ours, a moment before the port behind it
  // opens (ENXIO until then, seen once after re-plugging the FTDI adapter).
  const auto opens = [&] {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
  };
  if (!WaitFor(opens, std::chrono::seconds(30))) qFatal("%s did not come back for this user", path_.c_str());
}

void Board::enableXonXoff() {
  termios settings = lineSettings();
  settings.c_iflag |= IXON;
  setLineSettings(settings);
}

QString Board::holdOutput() {
  if (Env("LICHT_TEST_HOLD") == "unread") {
    // Fill the line until the driver has taken nothing for a while: then
    // the board's buffers, the gadget's and the driver's transfers are full.
    const std::string filler(4096, 'x');
    for (;;) {
      if (::write(PortHandle, filler.data(), filler.size()) > 0) continue;
      if (errno != EAGAIN) return QStringLiteral("filling the line failed: ") + std::strerror(errno);
      pollfd port{PortHandle, POLLOUT, 0};
      if (::poll(&port, 1, 500) == 0) return {};
    }
  }
  // The port acts on input in order, so once a byte sent after the XOFF can
  // be read on the panel's side, output is held. (The panel never reads.)
  const char probe[] = {kXoff, 'Z'};
  if (::write(far_, probe, sizeof probe) != ssize_t{sizeof probe})
    return QStringLiteral("the board could not send XOFF: ") + std::strerror(errno);
  const auto probeArrived = [] {
    char c = 0;
    return ::read(PortHandle, &c, 1) == 1 && c == 'Z';
  };
  if (!WaitFor(probeArrived, std::chrono::seconds(5)))
    return QStringLiteral("the byte sent after XOFF did not reach the port within 5 s");
  return {};
}

QString Board::releaseOutput() {
  if (Env("LICHT_TEST_HOLD") != "unread") {
    if (::write(far_, &kXon, 1) != 1)
      return QStringLiteral("the board could not send XON: ") + std::strerror(errno);
    return {};
  }
  // Read until the line has been quiet for half a second: all that was held
  // has come, and is thrown away.
  char buffer[4096];
  auto quietSince = Clock::now();
  while (Clock::now() - quietSince < std::chrono::milliseconds(500)) {
    pollfd board{far_, POLLIN, 0};
    if (::poll(&board, 1, 100) == 1 && ::read(far_, buffer, sizeof buffer) > 0) quietSince = Clock::now();
  }
  return {};
}

BoxLog::BoxLog(Board* board) : board_(board) {
  previous_ = SetBoxHandler([this](const Box& box) {
    // A "WriteFile" box says the last command did not (all) go out.
    collect(box.caption == QLatin1String("WriteFile") ? 0 : static_cast<std::size_t>(due_.size()));
    const bool echo =
        box.kind == BoxKind::Message && box.caption == QGuiApplication::applicationDisplayName();
    const bool command =
        echo && QRegularExpression(QStringLiteral("^([a-l][01])+$")).match(box.text).hasMatch();
    due_ = command ? box.text.toLatin1() : QByteArray();
    boxes.push_back(box);
    transcript_ +=
        echo ? QStringLiteral("[%1]").arg(box.text) : QStringLiteral("[%1|%2]").arg(box.caption, box.text);
    if (onBox) onBox(box);
  });
}

BoxLog::~BoxLog() { SetBoxHandler(previous_); }

void BoxLog::collect(std::size_t due) {
  if (board_) transcript_ += QString::fromLatin1(board_->take(due));
}

QString BoxLog::transcript() {
  collect(static_cast<std::size_t>(due_.size()));
  due_.clear();
  return transcript_;
}

QStringList BoxLog::captions() const {
  QStringList list;
  for (const Box& box : boxes) list << box.caption;
  return list;
}

Holder::Holder(const std::string& path, Lock lock) {
  int ready[2];
  if (::pipe(ready) != 0) qFatal("pipe");
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and _exit. The panel's
    // descriptors stay with the panel: a copy here would hold its port.
    ::close_range(3, static_cast<unsigned>(ready[1]) - 1, 0);
    ::close_range(static_cast<unsigned>(ready[1]) + 1, ~0U, 0);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool held =
        fd >= 0 && (lock == Flock ? ::flock(fd, LOCK_EX | LOCK_NB) : ::ioctl(fd, TIOCEXCL)) == 0;
    const char ok = held ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 'n';
  (void)!::read(ready[0], &ok, 1);
  ::close(ready[0]);
  if (ok != 'y') qFatal("holder could not take %s", path.c_str());
}

Holder::~Holder() {
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

int RefusedFromAnotherProcess(const std::string& path, Opener how, int tries) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::close_range(3, ~0U, 0);  // none of the panel's descriptors, its port least of all
    int refused = 0;
    for (int attempt = 0; attempt < tries; ++attempt) {
      int fd = -1;
      if (how == Opener::Panel) {
        fd = OpenComPort("Com1");
      } else {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && how == Opener::Flock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
          ::close(fd);
          fd = -1;
        }
      }
      if (fd < 0)
        ++refused;
      else
        ::close(fd);
    }
    ::_exit(refused);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString OpenFailureText(const QString& where, const QString& reason) {
  return QString::fromUtf8(
             "Der gewählte ComPort konnte nicht geöffnet werden.\n\n"
             "Bitte stellen sie sicher, das dieser von keiner anderen Anwendung benutzt wird.\n\n") +
         where + ": " + reason;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

QString FullSend(const QStringList& commands) {
  QString transcript;
  for (const QString& command : commands) transcript += QStringLiteral("[%1]%1").arg(command);
  return transcript;
}

TApplication* TheApplication = nullptr;

QString BoxStates(const QStringList& names) {
  QStringList states;
  for (const QString& name : names) {
    const auto* box = Form1->findChild<TCheckBox*>(name);
    if (!box) qFatal("no check box %s", qPrintable(name));
    states << QStringLiteral("%1=%2%3").arg(name, box->Checked() ? "+" : "-", box->isEnabled() ? "e" : "d");
  }
  return states.join(' ');
}

void ClickOn(const QString& name) {
  auto* control = Form1->findChild<QAbstractButton*>(name);
  if (!control) qFatal("no control %s", qPrintable(name));
  QTest::mouseClick(control, Qt::LeftButton, Qt::NoModifier, control->rect().center());
}

ScopedForm::ScopedForm() {
  TheApplication->CreateForm(Form1);
  Form1->show();
}

WiredBoard::WiredBoard(int n) : map_(("LICHTSTEUERUNG_COM" + std::to_string(n)).c_str(), path()) {}

ScopedForm::~ScopedForm() {
  // Disconnect through the panel so no port is left to the next test.
  if (Form1->comportbut->text() != QLatin1String("verbinden")) {
    BoxLog quiet;
    Form1->comportbut->click();
  }
  delete Form1;
}
