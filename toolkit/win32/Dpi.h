#pragma once

// The screen's scale, on every Windows from 7 SP1 on. Windows 10 (1607 and
// later) scales each window for its own monitor; 8.1 knows the monitor's
// scale but not the window's; 7 and 8 have one scale for the whole system.

#include <windows.h>

UINT SystemDpi();
UINT WindowDpi(HWND window);

// The outer rectangle of a window whose client area is `rect`, at `dpi`.
void AdjustForDpi(RECT* rect, DWORD style, DWORD extendedStyle, UINT dpi);

// The title bar's and the boxes' fonts at `dpi`.
NONCLIENTMETRICSW NonClientMetrics(UINT dpi);
