#include "Dpi.h"

#include "LateBound.h"

namespace {

using GetDpiForWindowCall = UINT WINAPI(HWND);
using GetDpiForSystemCall = UINT WINAPI();
using AdjustWindowRectExForDpiCall = BOOL WINAPI(RECT*, DWORD, BOOL, DWORD, UINT);
using SystemParametersInfoForDpiCall = BOOL WINAPI(UINT, UINT, void*, UINT, UINT);
// MDT_EFFECTIVE_DPI: the scale the user chose for that monitor.
using GetDpiForMonitorCall = HRESULT WINAPI(HMONITOR, int, UINT*, UINT*);

}  // namespace

UINT SystemDpi() {
  static auto* const getDpiForSystem = LateBound<GetDpiForSystemCall>(L"user32.dll", "GetDpiForSystem");
  if (getDpiForSystem) return getDpiForSystem();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT WindowDpi(HWND window) {
  static auto* const getDpiForWindow = LateBound<GetDpiForWindowCall>(L"user32.dll", "GetDpiForWindow");
  if (getDpiForWindow) return getDpiForWindow(window);
  // Windows 8.1: the monitor the window is on; 7 and 8: none of their own.
  static auto* const getDpiForMonitor = LateBound<GetDpiForMonitorCall>(L"shcore.dll", "GetDpiForMonitor");
  UINT x = 0;
  UINT y = 0;
  if (getDpiForMonitor &&
      getDpiForMonitor(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), 0, &x, &y) == S_OK)
    return x;
  return SystemDpi();
}

void AdjustForDpi(RECT* rect, DWORD style, DWORD extendedStyle, UINT dpi) {
  static auto* const adjust =
      LateBound<AdjustWindowRectExForDpiCall>(L"user32.dll", "AdjustWindowRectExForDpi");
  if (adjust) {
    adjust(rect, style, FALSE, extendedStyle, dpi);
    return;
  }
  // Before Windows 10 the frame follows the system's scale alone.
  AdjustWindowRectEx(rect, style, FALSE, extendedStyle);
}

NONCLIENTMETRICSW NonClientMetrics(UINT dpi) {
  static auto* const forDpi =
      LateBound<SystemParametersInfoForDpiCall>(L"user32.dll", "SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!forDpi || !forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi))
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  return metrics;
}
