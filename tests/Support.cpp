#include "Support.h"

#include "ComPort.h"
#include "Unit1.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

Pty::Pty() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) qFatal("openpty failed");
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  path_ = name;
}

Pty::~Pty() {
  if (master_ >= 0) ::close(master_);
  ::close(slave_);
}

QByteArray Pty::take() {
  QByteArray bytes;
  char buffer[512];
  for (;;) {
    const ssize_t n = master_ >= 0 ? ::read(master_, buffer, sizeof buffer) : -1;
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<int>(n));
  }
}

void Pty::unplug() {
  ::close(master_);
  master_ = -1;
}

void Pty::enableXonXoff() {
  termios settings{};
  ::tcgetattr(slave_, &settings);
  settings.c_iflag |= IXON;
  ::tcsetattr(slave_, TCSANOW, &settings);
}

void Pty::sendXoff() {
  const char xoff = 0x13;
  QCOMPARE(::write(master_, &xoff, 1), ssize_t{1});
  QTest::qWait(200);  // the terminal handles its input in a kernel worker
}

BoxLog::BoxLog(Pty* board) : board_(board) {
  previous_ = SetBoxHandler([this](const Box& box) {
    collect();
    boxes.push_back(box);
    transcript_ += box.kind == BoxKind::Message && box.caption == QGuiApplication::applicationDisplayName()
                       ? QStringLiteral("[%1]").arg(box.text)
                       : QStringLiteral("[%1|%2]").arg(box.caption, box.text);
    if (onBox) onBox(box);
  });
}

BoxLog::~BoxLog() { SetBoxHandler(previous_); }

void BoxLog::collect() {
  if (board_) transcript_ += QString::fromLatin1(board_->take());
}

QString BoxLog::transcript() {
  collect();
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
    // Only async-signal-safe calls between fork and _exit.
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

ScopedForm::~ScopedForm() {
  // Disconnect through the panel so no port is left to the next test.
  if (Form1->comportbut->GetText() != QLatin1String("verbinden")) {
    BoxLog quiet;
    Form1->comportbut->click();
  }
  delete Form1;
}
