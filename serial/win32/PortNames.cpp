#include "PortNames.h"

#include "ComPort.h"

// windows.h first: the others build on its types.
#include <windows.h>

#include <setupapi.h>

#include "LateBound.h"
#include "Utf16.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// SetupAPI is asked for only when a tooltip or a failed open needs a
// device's name: a run that needs neither does not load it.
using SetupDiGetClassDevsCall = HDEVINFO WINAPI(const GUID*, PCWSTR, HWND, DWORD);
using SetupDiEnumDeviceInfoCall = BOOL WINAPI(HDEVINFO, DWORD, SP_DEVINFO_DATA*);
using SetupDiOpenDevRegKeyCall = HKEY WINAPI(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD, DWORD, REGSAM);
using SetupDiGetDeviceRegistryPropertyCall = BOOL WINAPI(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*,
                                                         DWORD, DWORD*);
using SetupDiDestroyDeviceInfoListCall = BOOL WINAPI(HDEVINFO);

// GUID_DEVCLASS_PORTS: serial and parallel ports.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct SetupApi {
  SetupDiGetClassDevsCall* classDevices =
      LateBound<SetupDiGetClassDevsCall>(L"setupapi.dll", "SetupDiGetClassDevsW");
  SetupDiEnumDeviceInfoCall* enumerate =
      LateBound<SetupDiEnumDeviceInfoCall>(L"setupapi.dll", "SetupDiEnumDeviceInfo");
  SetupDiOpenDevRegKeyCall* openKey =
      LateBound<SetupDiOpenDevRegKeyCall>(L"setupapi.dll", "SetupDiOpenDevRegKey");
  SetupDiGetDeviceRegistryPropertyCall* property =
      LateBound<SetupDiGetDeviceRegistryPropertyCall>(L"setupapi.dll", "SetupDiGetDeviceRegistryPropertyW");
  SetupDiDestroyDeviceInfoListCall* destroy =
      LateBound<SetupDiDestroyDeviceInfoListCall>(L"setupapi.dll", "SetupDiDestroyDeviceInfoList");

  bool Complete() const { return classDevices && enumerate && openKey && property && destroy; }
};

// The COM ports Windows has at this moment, by number: the names its
// object manager lists (USB adapters come and go, so asked afresh).
std::vector<int> ComPorts() {
  std::vector<wchar_t> names(1 << 16);
  // The list grows with every device the system has; a larger buffer, up to
  // a bound, when it does not fit.
  DWORD length = 0;
  while ((length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()))) == 0 &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 22))
    names.resize(names.size() * 4);
  std::vector<int> ports;
  for (std::size_t at = 0; at < length && names[at] != L'\0'; at += std::wcslen(&names[at]) + 1) {
    const wchar_t* name = &names[at];
    if (_wcsnicmp(name, L"COM", 3) != 0 || !std::iswdigit(name[3])) continue;
    wchar_t* end = nullptr;
    const long number = std::wcstol(name + 3, &end, 10);
    if (*end == L'\0' && number > 0 && number < 256) ports.push_back(static_cast<int>(number));
  }
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

// What Windows calls the device behind COMn, e.g. "USB Serial Port (COM3)";
// empty where it knows none.
std::string FriendlyName(int number) {
  static const SetupApi setup;
  if (!setup.Complete()) return {};
  const std::wstring port = L"COM" + std::to_wstring(number);
  HDEVINFO devices = setup.classDevices(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return {};
  std::wstring found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; found.empty() && setup.enumerate(devices, i, &device); ++i) {
    HKEY key = setup.openKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    wchar_t name[32] = L"";
    DWORD size = sizeof name - sizeof(wchar_t);
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                                        &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!named || _wcsicmp(name, port.c_str()) != 0) continue;
    wchar_t friendly[256] = L"";
    if (setup.property(devices, &device, SPDRP_FRIENDLYNAME, nullptr, reinterpret_cast<BYTE*>(friendly),
                       sizeof friendly - sizeof(wchar_t), nullptr))
      found = friendly;
  }
  setup.destroy(devices);
  return Narrow(found);
}

}  // namespace

PortFacts LookUpPort(const char* name) {
  PortFacts port;
  const int number = PortNumber(name);
  const std::vector<int> ports = ComPorts();
  if (number) {
    port.device = "COM" + std::to_string(number);
    port.friendlyName = FriendlyName(number);
    port.listed = std::find(ports.begin(), ports.end(), number) != ports.end();
  }
  // The ports above COM6 are told only where this one is not there (the
  // user's adapter may be one of them); each costs a walk over SetupAPI's
  // devices, on every tooltip and every reader's question.
  if (!port.listed)
    for (const int other : ports)
      if (other > 6) port.above.push_back({other, FriendlyName(other)});
  return port;
}
