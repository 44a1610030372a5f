#include "ComPort.h"

#include "Boxes.h"
#include "PortNames.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
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

// The devices whose last descriptor a helper thread is still closing (see
// CloseComPort). Never destroyed: a helper may still be in close() while the
// program exits.
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
  // The exclusive flag outlives this descriptor on a pty whose other end
  // stays open, and would lock out the next open.
  ::ioctl(handle, TIOCNXCL);
  struct stat status = {};
  if (::fstat(handle, &status) != 0 || !S_ISCHR(status.st_mode)) {
    ::close(handle);
    return;
  }
  // The last close of a tty waits in the kernel until the driver has sent
  // what it holds, up to the port's closing wait (30 s), even on a
  // non-blocking descriptor. tcflush does not cancel what cdc_acm has handed
  // to the USB host, and only root may shorten the wait (TIOCSSERIAL). So a
  // helper thread owns the close, and the window waits for it only briefly:
  // a port that lets go at once is free when this returns, one that does not
  // stays locked (flock) until the kernel is done, and OpenComPort refuses
  // it meanwhile instead of hanging in open(). At exit the helper is killed
  // with the process, which also ends the kernel's wait.
  Closings& closing = Closing();
  std::unique_lock<std::mutex> guard(closing.lock);
  closing.devices.insert(status.st_rdev);
  std::thread([handle, device = status.st_rdev] {
    ::close(handle);
    Closings& closing = Closing();
    const std::lock_guard<std::mutex> guard(closing.lock);
    closing.devices.erase(closing.devices.find(device));
    closing.closed.notify_all();
  }).detach();
  closing.closed.wait_for(guard, kCloseGrace, [&] { return closing.devices.count(status.st_rdev) == 0; });
}
