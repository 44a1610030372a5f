#include "ComPort.h"

#include "Boxes.h"
#include "PortNames.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

ComHandle PortHandle = kNoPort;

namespace {

using Clock = std::chrono::steady_clock;

// One character at 9600 baud, 8N1: a start bit, 8 data bits and a stop bit.
constexpr std::chrono::microseconds kCharTime{10'000'000 / 9600};

// How long a disconnect waits for a close that the kernel delays.
constexpr std::chrono::milliseconds kCloseGrace{100};

// A disconnect looks at the output queue at least this often (a UART
// FIFO's worth of wire time), whatever the driver counts.
constexpr std::size_t kCloseLookBytes = 16;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Waits until `handle` takes more output. False, with errno set, when the
// deadline passes first or the port has gone.
bool WaitWritable(int handle, Clock::time_point deadline) {
  for (;;) {
    pollfd port{handle, POLLOUT, 0};
    const int ready = ::poll(&port, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return false;
    if (ready == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (port.revents & POLLOUT) return true;
    // Hang-up or error without room to write: the next write would only
    // fail again at once, so report the device as gone instead of spinning.
    errno = (port.revents & POLLNVAL) ? EBADF : EIO;
    return false;
  }
}

// Waits until the bytes written have left the driver. A port whose output is
// held back (flow control, XOFF, a board that stops reading) keeps them
// queued; that must be told to the user, not hidden behind a write that
// "succeeded".
//
// TIOCOUTQ says whether the driver still holds output, but its count is not
// bytes on every driver, so it only decides whether to wait, never how long:
//   8250 (ttyS):      bytes in the kernel's transmit buffer; the chip's
//                     16-byte FIFO is not counted and leaves within 17 ms at
//                     9600 baud. Measured: 0 right after a 2-byte write.
//   ftdi_sio (ttyUSB): bytes in the driver's FIFO and in USB transfers not
//                     yet completed. Measured: 0 right after a 2-byte write.
//                     The adapter chip's own buffer is invisible, so output
//                     the chip holds back (flow control done in the chip)
//                     counts as sent.
//   cdc_acm (ttyACM): every USB transfer still pending counts as its whole
//                     buffer, whatever bytes it carries. Measured: 10240 or
//                     0 right after a 2-byte write, 143360 to 163840 (14 to
//                     16 transfers of 10240) with the board not reading.
//   pty:              always 0; a held pty shows as a write that does not go.
// Descriptors without an output queue (files, pipes) have nothing to wait
// for. `written` caps each sleep at the wire time of that many bytes, so a
// driver that passes the bytes on at once is asked again after their wire
// time, not after that of a whole USB transfer.
bool WaitDrained(int handle, Clock::time_point deadline, std::size_t written) {
  for (;;) {
    int queued = 0;
    if (::ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
    const int left = MillisecondsLeft(deadline);
    if (left == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    // About the wire time of what may still be queued, never less than
    // 1 ms, so the wait neither spins nor oversleeps a port that is draining.
    const std::size_t pending = std::min(static_cast<std::size_t>(queued), written);
    const auto wire = std::chrono::ceil<std::chrono::milliseconds>(kCharTime * pending);
    const int nap = std::clamp(static_cast<int>(wire.count()), 1, left);
    ::poll(nullptr, 0, nap);
  }
}

// The devices whose last descriptor a helper thread or the holder process
// is still closing (see CloseComPort). Never destroyed: a helper may still be
// in close() while the program exits.
struct Closings {
  std::mutex lock;
  std::condition_variable closed;
  std::multiset<dev_t> devices;
};

Closings& Closing() {
  static auto* closings = new Closings;
  return *closings;
}

// Whether a helper is still closing the device with this status.
bool StillClosing(const struct stat& device) {
  Closings& closing = Closing();
  const std::lock_guard<std::mutex> guard(closing.lock);
  return closing.devices.count(device.st_rdev) > 0;
}

void Released(dev_t device) {
  Closings& closing = Closing();
  const std::lock_guard<std::mutex> guard(closing.lock);
  closing.devices.erase(closing.devices.find(device));
  closing.closed.notify_all();
}

// How long the kernel's last close of `handle` waits for the driver to send
// what it holds, in milliseconds; -1 for as long as it takes, 0 not at all.
// The port's closing_wait (hundredths of a second); where the driver does not
// tell, the tty layer's default of 30 s.
int ClosingWaitMilliseconds(int handle) {
  serial_struct serial{};
  if (::ioctl(handle, TIOCGSERIAL, &serial) != 0) return 30'000;
  if (serial.closing_wait == ASYNC_CLOSING_WAIT_NONE) return 0;
  if (serial.closing_wait == ASYNC_CLOSING_WAIT_INF) return -1;
  return serial.closing_wait * 10;
}

int MillisecondsSince(const timespec& start) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000);
}

// The holder, forked by HandOver: keeps the open file, and with it the flock
// and TIOCEXCL, until the driver has sent what it holds, then closes it, a
// close that no longer waits. Forked from a program with threads, it makes
// only async-signal-safe calls.
[[noreturn]] void HoldUntilSent(int handle, pid_t panel, int closingWait) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Unplugging the board hangs the port up, which ends the holder (SIGHUP,
  // as its controlling terminal) and so releases the port.
  struct sigaction hangUp = {};
  hangUp.sa_handler = SIG_DFL;
  ::sigaction(SIGHUP, &hangUp, nullptr);
  // None of the panel's other descriptors: a pipe that a parent reads to its
  // end would otherwise stay open as long as the holder.
  // close_range came with Linux 5.9; where it is missing, one by one.
  const bool below = handle == 0 || ::close_range(0, static_cast<unsigned>(handle) - 1, 0) == 0;
  const bool above = ::close_range(static_cast<unsigned>(handle) + 1, ~0U, 0) == 0;
  if (!below || !above) {
    const long open = ::sysconf(_SC_OPEN_MAX);
    for (int other = 0; other < (open > 0 ? open : 1024); ++other)
      if (other != handle) ::close(other);
  }
  // Nobody but root may shorten a closing wait or hang a tty up (TIOCSSERIAL,
  // TIOCVHANGUP), and tcflush does not cancel what cdc_acm has handed to the
  // USB host. But when a session's leader ends, the kernel hangs up its
  // controlling terminal (disassociate_ctty, other than a pty) before it
  // releases the leader's files: the driver drops its output (cdc_acm kills
  // its transfers), and the last close of a hung-up file does not wait. So
  // the holder leads a session of its own with the port as its terminal, and
  // ending is how it gives the output up. The port is nobody's terminal (it
  // was opened O_NOCTTY), and stealing one would take root; where that fails
  // (some program made it its terminal in between), the holder closes at
  // once instead, and that close waits as the panel's own would have.
  const bool canDrop = ::setsid() >= 0 && ::ioctl(handle, TIOCSCTTY, 0) == 0;
  // The panel's end ends the holder (SIGKILL when the thread that forked it
  // ends), which drops the output: a close of the panel's own was cut short
  // by its exit too. The check after it: the panel may have ended already.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != panel) ::_exit(0);
  if (canDrop) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      int queued = 0;
      // What the kernel's closing wait waits for: tty_chars_in_buffer at 0
      // (or the port gone, whose close does not wait either).
      if (::ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
      // Where the kernel would have given up, so does the holder, and ending
      // drops the output.
      if (closingWait >= 0 && MillisecondsSince(start) >= closingWait) ::_exit(0);
      ::poll(nullptr, 0, 20);
    }
    // Sent: the port stops being the holder's terminal first, so that its
    // end hangs up nobody who opened the port meanwhile (root). Giving the
    // terminal up signals the holder's own group with SIGHUP.
    hangUp.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &hangUp, nullptr);
    ::ioctl(handle, TIOCNOTTY);
  }
  ::ioctl(handle, TIOCNXCL);
  ::close(handle);
  ::_exit(0);
}

// Where the last close of `handle` would wait in the kernel for output that
// the driver still holds, gives the port to a holder process (HoldUntilSent)
// and closes this program's descriptor, a close that is not the last. False
// when the close would not wait for output, or no process could be made.
bool HandOver(int handle, dev_t device) {
  int queued = 0;
  if (::ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0) return false;
  const int closingWait = ClosingWaitMilliseconds(handle);
  if (closingWait == 0) return false;
  const pid_t panel = ::getpid();
  const pid_t holder = ::fork();
  if (holder < 0) return false;
  if (holder == 0) HoldUntilSent(handle, panel, closingWait);
  ::close(handle);
  try {
    std::thread([holder, device] {
      int status = 0;
      while (::waitpid(holder, &status, 0) < 0 && errno == EINTR) {
      }
      Released(device);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to wait for the holder: the port is not known as closing
    // then, and the holder's own lock still refuses a new open meanwhile.
    Released(device);
  }
  return true;
}

// Opens `device` for exclusive use: the descriptor, or -1 with errno.
int OpenDevice(const std::string& device) {
  if (device.empty()) {
    errno = ENODEV;
    return -1;
  }
  // Only a character device can be a serial port: anything else named by
  // mistake (a file, a FIFO) would open, and the commands would overwrite
  // it. And while this program's own last close of the port still waits in
  // the kernel, open() would wait with it, holding the window.
  struct stat status = {};
  if (::stat(device.c_str(), &status) == 0 && (!S_ISCHR(status.st_mode) || StillClosing(status))) {
    errno = S_ISCHR(status.st_mode) ? EBUSY : ENOTTY;
    return -1;
  }
  // O_NOCTTY: the port must never become this process's controlling terminal.
  // O_NONBLOCK: neither opening (waiting for carrier) nor writing may block.
  const int handle = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) return -1;
  // The port is for this program alone. flock keeps out every cooperating
  // program, root included, and a second open by this one; TIOCEXCL keeps out
  // any other non-root opener of a tty. Not a tty (/dev/null): no TIOCEXCL.
  // The path may have been swapped for a file since the check above.
  int error = 0;
  if (::fstat(handle, &status) != 0 || !S_ISCHR(status.st_mode)) {
    error = ENOTTY;
  } else if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
    error = errno == EWOULDBLOCK ? EBUSY : errno;
  } else if (::ioctl(handle, TIOCEXCL) != 0 && errno != ENOTTY) {
    error = errno;
  }
  if (error != 0) {
    ::close(handle);
    errno = error;
    return -1;
  }
  return handle;
}

}  // namespace

ComHandle OpenComPort(const char* name, OpenAttempt* attempt) {
  const std::string device = ComPortDevice(name);
  const int handle = OpenDevice(device);
  OpenAttempt tried;
  tried.port.device = device;
  if (handle < 0) {
    tried.error = errno;
    tried.stillReleasing = tried.error == EBUSY && DeviceClosing(device);
    tried.port = LookUpPort(name, device);
  }
  if (attempt) *attempt = std::move(tried);
  return handle;
}

bool DeviceClosing(const std::string& device) {
  struct stat status = {};
  return !device.empty() && ::stat(device.c_str(), &status) == 0 && StillClosing(status);
}

void ConfigureComPort(ComHandle handle) {
  termios settings{};
  if (::tcgetattr(handle, &settings) != 0) {
    ShowApiError("GetCommState");
    // The line is still set, from what a port has when nothing has set it
    // up yet: raw, receiver on, modem lines ignored. An all-zero record
    // would switch the receiver off and make the port wait for a carrier.
    ::cfmakeraw(&settings);
    settings.c_cflag |= CREAD | CLOCAL;
  }
  ::cfsetispeed(&settings, B9600);
  ::cfsetospeed(&settings, B9600);
  settings.c_cflag = (settings.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8;
  // A tty's line discipline would echo what the board sends back to it and
  // rewrite bytes on their way out; the board expects the commands verbatim.
  // Software flow control (IXON, IXOFF, IXANY) stays as the port had it.
  settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  settings.c_oflag &= ~OPOST;
  if (::tcsetattr(handle, TCSANOW, &settings) != 0) {
    ShowApiError("SetCommState");
    return;
  }
  // tcsetattr succeeds when the driver took any one of the changes, and a
  // driver may keep another speed or character size without a word (USB
  // adapters with a fixed set of rates; ftdi_sio turns CS5 and CS6 into CS8;
  // serial_core clips a speed its clock cannot make). Only what the port
  // reports now tells whether the board can understand it.
  termios taken{};
  if (::tcgetattr(handle, &taken) != 0) {
    ShowApiError("SetCommState");
    return;
  }
  if (::cfgetospeed(&taken) != B9600 || ::cfgetispeed(&taken) != B9600 ||
      (taken.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) {
    errno = EINVAL;  // POSIX: "an attempt ... to change an attribute ... to an unsupported value"
    ShowApiError("SetCommState");
  }
}

void SetComTimeouts(ComHandle handle) {
  termios settings{};
  if (::tcgetattr(handle, &settings) != 0) {
    ShowApiError("SetCommTimeouts");
    return;
  }
  // With VMIN 0, VTIME times the whole read: it returns what has arrived,
  // or nothing once 100 ms (the shortest termios has) pass without a byte.
  // The panel never reads and its descriptor is non-blocking, where VMIN and
  // VTIME do nothing; they are set so that the port is left as described for
  // any program that opens it after the panel (the settings outlive the close).
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 1;
  if (::tcsetattr(handle, TCSANOW, &settings) != 0) ShowApiError("SetCommTimeouts");
}

std::uint32_t SendCommand(const char* text, std::uint32_t length) {
  ShowMessage(text);

  const Clock::time_point deadline = Clock::now() + kWriteDeadline;
  std::uint32_t written = 0;
  while (written < length) {
    const ssize_t n = ::write(PortHandle, text + written, length - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(PortHandle, deadline)) break;
    } else {
      if (n == 0) errno = EIO;
      break;
    }
  }
  if (written < length || !WaitDrained(PortHandle, deadline, written)) ShowApiError("WriteFile");
  return written;
}

void ShowApiError(const char* name) {
  const int error = errno;  // before anything else can overwrite it
  ShowErrorBox(name, SysErrorMessage(error));
}

void CloseComPort(ComHandle handle) {
  if (handle < 0) return;
  // Output still held back cannot reach the board anyway; it is dropped, so
  // that close() has nothing to wait for where the driver lets it go. Only
  // then: on a pseudo-terminal the flush also throws away what the other end
  // has not read yet.
  if (!WaitDrained(handle, Clock::now() + kWriteDeadline, kCloseLookBytes)) ::tcflush(handle, TCOFLUSH);
  struct stat status = {};
  if (::fstat(handle, &status) != 0 || !S_ISCHR(status.st_mode)) {
    ::close(handle);
    return;
  }
  // The last close of a tty waits in the kernel until the driver has sent
  // what it holds, up to the port's closing wait (30 s), even on a
  // non-blocking descriptor, and holds the tty's lock meanwhile: another
  // program's open() of the port would wait with it, and the flock would be
  // gone before the wait begins. tcflush does not cancel what cdc_acm has
  // handed to the USB host. So where the driver still holds output, a holder
  // process keeps the port, locked, until it has gone or the closing wait is
  // over (HandOver); meanwhile another program's open fails at once with
  // EBUSY (TIOCEXCL; root, which TIOCEXCL does not stop, gets the port
  // beside the holder, and is hung up with it where the holder ends by
  // giving the output up; a cooperating program's flock fails). Other
  // closes (a UART's FIFO, a USB adapter's chip) may still wait briefly in
  // the driver: a helper thread owns those. The window waits for either only
  // briefly: a port that lets go at once is free when this returns, and
  // OpenComPort refuses one that is still held instead of hanging in open().
  // At exit the helper thread is killed with the process, which ends the
  // kernel's wait, and the holder ends with the process, which drops the
  // output.
  Closings& closing = Closing();
  std::unique_lock<std::mutex> guard(closing.lock);
  const dev_t device = status.st_rdev;
  closing.devices.insert(device);
  guard.unlock();
  if (!HandOver(handle, device)) {
    // The exclusive flag outlives this descriptor on a pty whose other end
    // stays open, and would lock out the next open.
    ::ioctl(handle, TIOCNXCL);
    const auto closeIt = [handle, device] {
      ::close(handle);
      Released(device);
    };
    try {
      std::thread(closeIt).detach();
    } catch (const std::system_error&) {
      closeIt();  // no thread to be had: the close waits here, as a plain close would
    }
  }
  guard.lock();
  closing.closed.wait_for(guard, kCloseGrace, [&] { return closing.devices.count(device) == 0; });
}
