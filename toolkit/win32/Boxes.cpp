#include "Boxes.h"

#include "Accessible.h"
#include "Controls.h"
#include "Dpi.h"
#include "Hold.h"
#include "Text.h"

#include <windows.h>

#include <utility>

namespace {

MessageDescriber& CurrentDescriber() {
  static MessageDescriber describe;
  return describe;
}

// Windows sizes a box to its text, so a box showing "a0" is narrower than
// its own title, which the title bar then cuts short. The box is widened,
// as it comes up, to the title's width and room for the title bar's buttons.
HHOOK widening = nullptr;
int wantedWidth = 0;
// What the box coming up means, for screen readers; empty for none.
std::string wantedDescription;

int TitleWidth(const std::wstring& caption) {
  const UINT dpi = SystemDpi();
  NONCLIENTMETRICSW metrics = NonClientMetrics(dpi);
  metrics.lfCaptionFont.lfWeight = FW_BOLD;
  HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
  HDC screen = GetDC(nullptr);
  HGDIOBJ before = SelectObject(screen, font);
  SIZE size{};
  GetTextExtentPoint32W(screen, caption.c_str(), static_cast<int>(caption.size()), &size);
  SelectObject(screen, before);
  ReleaseDC(nullptr, screen);
  DeleteObject(font);
  // Icon, close, maximise and minimise, and the frame; under X11 the window
  // manager draws them, and its title font, a little larger than Windows'.
  constexpr int kTitleButtons = 180;
  return size.cx + MulDiv(kTitleButtons, static_cast<int>(dpi), 96);
}

// Runs once the box has laid itself out (its WM_INITDIALOG has returned):
// widens it, and gives it its description.
LRESULT CALLBACK PrepareBox(int code, WPARAM sent, LPARAM call) {
  const auto* done = reinterpret_cast<const CWPRETSTRUCT*>(call);
  if (code != HC_ACTION || done->message != WM_INITDIALOG) return CallNextHookEx(widening, code, sent, call);
  HWND box = done->hwnd;
  if (!wantedDescription.empty()) Speak(box, {{}, [said = wantedDescription] { return said; }, 0});
  RECT frame{};
  GetWindowRect(box, &frame);
  const int grow = wantedWidth - (frame.right - frame.left);
  if (grow > 0) {
    SetWindowPos(box, nullptr, frame.left - grow / 2, frame.top, wantedWidth, frame.bottom - frame.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // The OK button stays in the middle.
    if (HWND ok = FindWindowExW(box, nullptr, L"Button", nullptr)) {
      RECT button{};
      RECT inside{};
      GetWindowRect(ok, &button);
      MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&button), 2);
      GetClientRect(box, &inside);
      const int left = (inside.right - (button.right - button.left)) / 2;
      SetWindowPos(ok, nullptr, left, button.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  UnhookWindowsHookEx(widening);
  widening = nullptr;
  return 0;
}

// The boxes are Windows' own, shown with the wide calls.
void Show(HWND owner, const std::string& caption, const std::string& text, UINT icon,
          std::string description) {
  const std::wstring title = Wide(caption);
  wantedWidth = TitleWidth(title);
  wantedDescription = std::move(description);
  const Hold held;
  // A box with no owner disables nothing by itself; task-modal, it disables
  // every window of the thread while it is up, as an owned box its owner.
  // Its loop ends on a quit, which may come from another program, as if
  // the box had been answered (Wine says IDOK): the quit is put back, and
  // the box ends at once each time it comes, its command written unseen.
  // Taken off instead, the box comes again, and the quit waits for the
  // panel to be free.
  for (MSG quit{};;) {
    widening = SetWindowsHookExW(WH_CALLWNDPROCRET, PrepareBox, nullptr, GetCurrentThreadId());
    MessageBoxW(owner, Wide(text).c_str(), title.c_str(), MB_OK | icon | (owner ? 0 : MB_TASKMODAL));
    if (widening) UnhookWindowsHookEx(widening);
    widening = nullptr;
    if (!PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) break;
    QuitWhenFree(static_cast<int>(quit.wParam));
  }
}

}  // namespace

std::wstring& ProgramName() {
  static std::wstring name = L"lichtsteuerung";
  return name;
}

void ShowMessage(const std::string& text) {
  // Owned by the main window, which it blocks and stays above.
  TForm* main = Application ? Application->MainForm() : nullptr;
  const MessageDescriber& describe = CurrentDescriber();
  Show(main ? static_cast<HWND>(main->Handle()) : nullptr, Narrow(ProgramName()), text, 0,
       describe ? describe(text) : std::string());
}

void SetMessageDescriber(MessageDescriber describe) { CurrentDescriber() = std::move(describe); }

void ShowErrorBox(const std::string& caption, const std::string& text) {
  Show(nullptr, caption, text, MB_ICONERROR, {});
}

std::string SysErrorMessage(int code) {
  // In the user's own language, as Windows words it.
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length ? std::wstring(text, length) : L"Fehler " + std::to_wstring(code);
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
  return Narrow(message);
}
