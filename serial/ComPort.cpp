#include "ComPort.h"

#include "Dialogs.h"
#include "PortNames.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

int PortHandle = -1;

namespace {

using Clock = std::chrono::steady_clock;

// One character at 9600 baud, 8N1: a start bit, 8 data bits and a stop bit.
constexpr std::chrono::microseconds kCharTime{10'000'000 / 9600};

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
// held back (flow control, XOFF) keeps them queued; that must be told to the
// user, not hidden behind a write that "succeeded".
//
// TIOCOUTQ counts what the driver still holds, and no more: on an 8250 UART
// the kernel's transmit buffer (the chip's 16-byte FIFO leaves in at most
// 17 ms at 9600 baud), on a USB adapter the bytes not yet handed to the USB
// host controller. A USB adapter's own chip buffer is invisible to it, so
// output that the adapter's chip holds back (hardware or XON/XOFF flow control
// done in the chip) counts as sent. A pty has no queue and reads 0: there a
// held line shows up as a write that does not go through. Descriptors without
// an output queue (files, pipes) have nothing to wait for.
bool WaitDrained(int handle, Clock::time_point deadline) {
  for (;;) {
    int queued = 0;
    if (::ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0) return true;
    const int left = MillisecondsLeft(deadline);
    if (left == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    // Sleep for about the wire time of what is queued, never less than 1 ms,
    // so the wait neither spins nor overshoots a port that is draining.
    const auto wire = std::chrono::ceil<std::chrono::milliseconds>(kCharTime * queued);
    const int nap = std::clamp(static_cast<int>(wire.count()), 1, left);
    ::poll(nullptr, 0, nap);
  }
}

}  // namespace

int OpenComPort(const char* name) {
  const std::string device = ComPortDevice(name);
  if (device.empty()) {
    errno = ENODEV;
    return -1;
  }
  // O_NOCTTY: the port must never become this process's controlling terminal.
  // O_NONBLOCK: neither opening (waiting for carrier) nor writing may block.
  const int handle = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) return -1;
  // The port is for this program alone. flock keeps out every cooperating
  // program, root included, and a second open by this one; TIOCEXCL keeps out
  // any other non-root opener of a tty. Files and pipes have no TIOCEXCL.
  int error = 0;
  if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
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

void ConfigureComPort(int handle) {
  termios settings{};
  if (::tcgetattr(handle, &settings) != 0) {
    ShowApiError("GetCommState");
    settings = termios{};
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

void SetComTimeouts(int handle) {
  termios settings{};
  if (::tcgetattr(handle, &settings) != 0) {
    ShowApiError("SetCommTimeouts");
    return;
  }
  // Reads are to return what has arrived after at most 100 ms of silence,
  // the shortest gap termios can express (tenths of a second). The panel
  // never reads and its descriptor is non-blocking, where VMIN and VTIME do
  // nothing; they are set so that the port is left as described for any
  // program that opens it after the panel (the settings outlive the close).
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 1;
  if (::tcsetattr(handle, TCSANOW, &settings) != 0) ShowApiError("SetCommTimeouts");
}

std::uint32_t SendCommand(const char* text, std::uint32_t length) {
  ShowMessage(QString::fromLatin1(text));

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
  if (written < length || !WaitDrained(PortHandle, deadline)) ShowApiError("WriteFile");
  return written;
}

void ShowApiError(const char* name) {
  const int error = errno;  // before anything else can overwrite it
  ShowErrorBox(QString::fromLatin1(name), SysErrorMessage(error));
}

void CloseComPort(int handle) {
  if (handle < 0) return;
  // Output still held back would make close() wait in the kernel for the
  // tty's closing wait (30 s on a UART, even on a non-blocking descriptor);
  // it cannot reach the board anyway. Only then is it flushed: on a
  // pseudo-terminal the flush also throws away what the other end has not
  // read yet.
  if (!WaitDrained(handle, Clock::now() + kWriteDeadline)) ::tcflush(handle, TCOFLUSH);
  // The exclusive flag outlives this descriptor on a pty whose other end
  // stays open, and would lock out the next open.
  ::ioctl(handle, TIOCNXCL);
  ::close(handle);
}
