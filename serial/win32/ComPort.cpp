#include "ComPort.h"

#include "Boxes.h"
#include "PortNames.h"

#include <windows.h>

#include <chrono>
#include <string>

// No port before the first connect.
ComHandle PortHandle = nullptr;

namespace {

// Windows refuses a second open of a port (share mode 0). Wine does not, so
// each port also has a named mutex, held by whoever has the port open: a
// second panel, under Windows or Wine, finds it taken.
HANDLE portLock = nullptr;

// The line set up where the port's own settings cannot be read: binary, no
// flow control, DTR and RTS raised as opening a port on Linux leaves them.
// Windows refuses a record whose XON and XOFF characters are the same, as a
// zeroed one's are, so it carries the usual ones (DC1, DC3) and limits,
// unused as they are.
DCB PlainLine() {
  DCB line{};
  line.DCBlength = sizeof line;
  line.fBinary = TRUE;
  line.fDtrControl = DTR_CONTROL_ENABLE;
  line.fRtsControl = RTS_CONTROL_ENABLE;
  line.XonLim = 2048;
  line.XoffLim = 512;
  line.XonChar = 0x11;
  line.XoffChar = 0x13;
  return line;
}

}  // namespace

ComHandle OpenComPort(const char* name, OpenAttempt* attempt) {
  const int number = PortNumber(name);
  OpenAttempt tried;
  tried.port.device = number ? "COM" + std::to_string(number) : std::string();
  HANDLE lock = nullptr;
  HANDLE port = INVALID_HANDLE_VALUE;
  if (number) {
    const std::string lockName = "Local\\lichtsteuerung-COM" + std::to_string(number);
    lock = CreateMutexA(nullptr, TRUE, lockName.c_str());
    if (lock && GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(lock);
      lock = nullptr;
      SetLastError(ERROR_ACCESS_DENIED);
    } else {
      // The name as it stands: "Com1" to "Com9" are the ports' own device
      // names. Synchronous, and for this program alone.
      port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
  } else {
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  if (port == INVALID_HANDLE_VALUE) {
    tried.error = static_cast<int>(GetLastError());
    if (lock) CloseHandle(lock);
    // Only a failed open asks SetupAPI, for the message's words.
    if (attempt) tried.port = LookUpPort(name);
  } else {
    portLock = lock;
  }
  if (attempt) *attempt = std::move(tried);
  return port;
}

void ConfigureComPort(ComHandle handle) {
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(handle, &line)) {
    ShowApiError("GetCommState");
    // The write is still made, from a line of the program's own.
    line = PlainLine();
  }
  line.BaudRate = CBR_9600;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  if (!SetCommState(handle, &line)) {
    ShowApiError("SetCommState");
    return;
  }
  // A driver may keep another setting without a word; only what the port
  // reports now tells whether the board can understand it.
  DCB taken{};
  taken.DCBlength = sizeof taken;
  if (!GetCommState(handle, &taken)) {
    ShowApiError("SetCommState");
    return;
  }
  if (taken.BaudRate != CBR_9600 || taken.ByteSize != 8 || taken.Parity != NOPARITY ||
      taken.StopBits != ONESTOPBIT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    ShowApiError("SetCommState");
  }
}

void SetComTimeouts(ComHandle handle) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 100;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  // A write the port does not send (flow control, a board that stopped
  // reading) ends after this long instead of holding the window for ever.
  timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kWriteDeadline.count());
  if (!SetCommTimeouts(handle, &timeouts)) ShowApiError("SetCommTimeouts");
}

std::uint32_t SendCommand(const char* text, std::uint32_t length) {
  ShowMessage(text);
  DWORD written = 0;
  if (!WriteFile(PortHandle, text, length, &written, nullptr)) {
    ShowApiError("WriteFile");
    // A port left with fAbortOnError (by another program; the panel keeps the
    // flag as it finds it) fails every later call after one line error until
    // the error is cleared. Only after the report, which reads GetLastError.
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(PortHandle, &errors, &status);
  } else if (written < length) {
    // A write time-out is a call that succeeds with fewer bytes.
    SetLastError(ERROR_TIMEOUT);
    ShowApiError("WriteFile");
  }
  return written;
}

void ShowApiError(const char* name) {
  const DWORD error = GetLastError();  // before anything else can overwrite it
  ShowErrorBox(name, SysErrorMessage(static_cast<int>(error)));
}

void CloseComPort(ComHandle handle) {
  if (handle == nullptr || handle == kNoPort) return;
  // What the driver still queues (a disconnect's last commands, on a UART
  // its output buffer) leaves first, up to the write deadline, as on Linux:
  // a purge drops it at once. Only output still held back then, which
  // cannot reach the board anyway, is dropped, so that closing does not
  // wait for it. A purge when nothing is queued is no harmless extra either:
  // Wine carries it out on a pseudo-terminal as a flush that also throws
  // away what the other end has not read yet.
  const auto deadline = std::chrono::steady_clock::now() + kWriteDeadline;
  DWORD errors = 0;
  COMSTAT status{};
  while (ClearCommError(handle, &errors, &status) && status.cbOutQue > 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
      break;
    }
    Sleep(1);
  }
  CloseHandle(handle);
  if (portLock) CloseHandle(portLock);
  portLock = nullptr;
}
