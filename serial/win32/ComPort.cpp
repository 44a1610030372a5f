#include "ComPort.h"

#include "Boxes.h"

// windows.h first: the others build on its types.
#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <string>

// No port before the first connect.
ComHandle PortHandle = nullptr;

namespace {

// Windows refuses a second open of a port (share mode 0). Wine does not, so
// each port also has a named mutex, held by whoever has the port open: a
// second panel, under Windows or Wine, finds it taken.
HANDLE portLock = nullptr;

// "Com3" -> 3; 0 for any other name.
int PortNumber(const char* name) {
  const std::string text = name;
  if (text.size() != 4 || text.compare(0, 3, "Com") != 0 || text[3] < '1' || text[3] > '9') return 0;
  return text[3] - '0';
}

// What Windows calls the device behind COMn, e.g. "USB Serial Port (COM3)";
// empty where it knows none.
std::string FriendlyName(int number) {
  const std::wstring port = L"COM" + std::to_wstring(number);
  HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return {};
  std::string found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; found.empty() && SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t name[32] = L"";
    DWORD size = sizeof name - sizeof(wchar_t);
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                                        &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!named || _wcsicmp(name, port.c_str()) != 0) continue;
    wchar_t friendly[256] = L"";
    if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(friendly),
                                          sizeof friendly - sizeof(wchar_t), nullptr)) {
      const int length = WideCharToMultiByte(CP_UTF8, 0, friendly, -1, nullptr, 0, nullptr, nullptr);
      found.resize(static_cast<std::size_t>(length > 0 ? length - 1 : 0));
      WideCharToMultiByte(CP_UTF8, 0, friendly, -1, found.data(), length, nullptr, nullptr);
    }
  }
  SetupDiDestroyDeviceInfoList(devices);
  return found;
}

}  // namespace

ComHandle OpenComPort(const char* name, OpenAttempt* attempt) {
  const int number = PortNumber(name);
  OpenAttempt tried{number ? "COM" + std::to_string(number) : std::string(), 0};
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
  tried.error = port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
  if (port == INVALID_HANDLE_VALUE && lock) CloseHandle(lock);
  if (port != INVALID_HANDLE_VALUE) portLock = lock;
  if (attempt) *attempt = tried;
  return port;
}

std::string OpenFailureDetail(const char* name, const OpenAttempt& attempt) {
  const std::string friendly = attempt.device.empty() ? std::string() : FriendlyName(PortNumber(name));
  const std::string where = std::string(name) + (friendly.empty() ? "" : " (" + friendly + ")");
  std::string reason;
  switch (attempt.error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      reason = "Diesen Anschluss gibt es auf diesem Rechner nicht.";
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      reason =
          "Der Anschluss wird schon benutzt, von einem anderen Programm oder einem zweiten Fenster "
          "dieses Programms.";
      break;
    default:
      reason = SysErrorMessage(attempt.error);
  }
  return "\n\n" + where + ": " + reason;
}

std::string PortDescription(const char* name) {
  std::string friendly = FriendlyName(PortNumber(name));
  if (!friendly.empty()) return friendly;
  return std::string(name) + ": kein Gerät, das Windows unter diesem Namen kennt";
}

void ConfigureComPort(ComHandle handle) {
  DCB line{};
  line.DCBlength = sizeof line;
  if (!GetCommState(handle, &line)) {
    ShowApiError("GetCommState");
    // The write is still made, from a plain line: binary, nothing held back.
    line = DCB{};
    line.DCBlength = sizeof line;
    line.fBinary = TRUE;
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
  // Output still held back cannot reach the board anyway: dropped, so that
  // closing does not wait for it.
  PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
  CloseHandle(handle);
  if (portLock) CloseHandle(portLock);
  portLock = nullptr;
}
