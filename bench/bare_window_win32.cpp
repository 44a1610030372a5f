// The floor for the Windows program's start-up: a bare Win32 window of the
// panel's size with one push button, linked as the panel is.
#include <windows.h>

namespace {

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*command*/, int /*show*/) {
  WNDCLASSW form{};
  form.lpfnWndProc = Procedure;
  form.hInstance = instance;
  // A system colour's index + 1 stands for its brush, as Windows defines it.
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);  // NOLINT(performance-no-int-to-ptr)
  form.lpszClassName = L"BareWindow";
  RegisterClassW(&form);
  HWND window = CreateWindowExW(0, L"BareWindow", L"bare", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                CW_USEDEFAULT, CW_USEDEFAULT, 386, 276, nullptr, nullptr, instance, nullptr);
  CreateWindowExW(0, L"BUTTON", L"verbinden", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 160, 208, 209, 33,
                  window, nullptr, instance, nullptr);
  ShowWindow(window, SW_SHOWNORMAL);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
