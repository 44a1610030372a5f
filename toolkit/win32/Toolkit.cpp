#include "Toolkit.h"

#include "Accessible.h"
#include "Dpi.h"
#include "Hold.h"
#include "Text.h"

// windows.h first: the others build on its types.
#include <windows.h>

#include <commctrl.h>
#include <oleacc.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace {

constexpr wchar_t kFormClass[] = L"LichtsteuerungForm";
constexpr UINT_PTR kFirstControlId = 100;
constexpr UINT kMakeTooltips = WM_APP;

HWND AsWindow(void* handle) { return static_cast<HWND>(handle); }

int Scaled(int pixels, UINT dpi) { return MulDiv(pixels, static_cast<int>(dpi), 96); }

// A held key acts once, wherever the focus is: in the panel and in the
// boxes, whose own message loops the toolkit does not run. Windows marks a
// key's repeats (bit 30: the key was already down); they are dropped for
// the whole thread before any window sees them.
HHOOK heldKeys = nullptr;

//
// A BM_SETCHECK that comes through the queue was posted by another program:
// Windows' own controls send theirs, and so does the toolkit. It is dropped
// here too, before any window sees it (one sent is refused by the control's
// subclass, Accessible.cpp).
LRESULT CALLBACK DropRepeats(int code, WPARAM removed, LPARAM message) {
  auto* msg = reinterpret_cast<MSG*>(message);
  if (code == HC_ACTION && removed == PM_REMOVE &&
      (((msg->message == WM_KEYDOWN || msg->message == WM_CHAR || msg->message == WM_SYSKEYDOWN) &&
        (msg->lParam & (1L << 30)) != 0) ||
       msg->message == BM_SETCHECK))
    msg->message = WM_NULL;
  return CallNextHookEx(heldKeys, code, removed, message);
}

// Where each control and each port item stands in the window, in the order
// they are made, at 96 DPI. Group boxes are no containers on Windows: what
// stands in a group is placed in the window, offset by the group's place.
std::vector<Rect> PlacesInWindow(const FormLayout& layout) {
  std::vector<Rect> places;
  std::map<std::string, Rect> groups;
  for (std::size_t i = 0; i < layout.count; ++i) {
    const ControlLayout& row = layout.controls[i];
    Rect at = row.rect;
    // A group comes before what stands in it.
    if (const auto group = row.parent ? groups.find(row.parent) : groups.end(); group != groups.end()) {
      at.left += group->second.left;
      at.top += group->second.top;
    }
    groups.emplace(row.name, at);
    places.push_back(at);
    int count = 0;
    while (row.items && row.items[count]) ++count;
    for (int item = 0; item < count; ++item) {
      Rect place = RadioItemRect(row.rect, item, count);
      place.left += at.left;
      place.top += at.top;
      places.push_back(place);
    }
  }
  return places;
}

int holds = 0;
int ownWrites = 0;
bool quitPending = false;  // a quit came while the panel was held
int quitCode = 0;

// Runs a control's handler, holding the panel; nothing it throws may unwind
// through Windows' own code.
void RunHandler(const TNotifyEvent& handler, TObject* sender) {
  if (!handler) return;
  const Hold held;
  try {
    handler(sender);
  } catch (...) {
    if (Application) Application->ShowCurrentException();
  }
}

}  // namespace

Hold::Hold() { ++holds; }
Hold::~Hold() {
  if (--holds == 0 && quitPending) {
    quitPending = false;
    PostQuitMessage(quitCode);
  }
}
bool Held() { return holds > 0; }
std::set<void*>& GreyedWindows() {
  static std::set<void*> greyed;
  return greyed;
}
void SetGreyed(void* window, bool greyed) {
  if (greyed)
    GreyedWindows().insert(window);
  else
    GreyedWindows().erase(window);
}
bool Greyed(void* window) { return GreyedWindows().count(window) > 0; }
OwnWrite::OwnWrite() { ++ownWrites; }
OwnWrite::~OwnWrite() { --ownWrites; }
bool WritingOwnCheck() { return ownWrites > 0; }
void QuitWhenFree(int code) {
  quitPending = true;
  quitCode = code;
}

// What the toolkit keeps of a form's window: its controls by window, its
// font, the layout to lay it out again when the screen's DPI changes.
struct TForm::Native {
  const FormLayout* layout = nullptr;
  std::map<HWND, TControl*> byWindow;
  std::vector<std::pair<std::string, std::unique_ptr<TControl>>> controls;
  HFONT font = nullptr;
  UINT fontDpi = 0;  // the DPI the controls and their font were made for
  HWND tooltip = nullptr;
  HWND focus = nullptr;  // where the focus was when the window was left
  UINT dpi = 96;
  std::string accessibleName;

  // The control behind a window of the form; null for any other window.
  TControl* Control(HWND window) const {
    const auto found = byWindow.find(window);
    return found == byWindow.end() ? nullptr : found->second;
  }

  ~Native() {
    if (font) DeleteObject(font);
  }

  // Every window of the form but the form itself, in the order they were made.
  std::vector<HWND> Windows() const;
  HFONT MakeFont() const;
  void Place(HWND form, POINT where);
  void MakeTooltips(HWND form);
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

TApplication* Application = nullptr;

// The windows, each with what clears the reference CreateForm filled.
struct TApplication::Native {
  std::vector<std::pair<TForm*, std::function<void()>>> forms;
};

TApplication::TApplication(int& /*argc*/, char** /*argv*/) : native_(std::make_unique<Native>()) {
  Application = this;
}

TApplication::~TApplication() {
  DestroyForms();
  if (heldKeys) UnhookWindowsHookEx(heldKeys);
  heldKeys = nullptr;
  if (Application == this) Application = nullptr;
}

// Windows matches the window to its Start-menu entry by the program's path.
// An AppUserModelID of its own would need the same one on the installer's
// shortcut, or pinning the window would make a second taskbar entry.
void TApplication::SetName(const char* name, const char* /*desktopId*/) { ProgramName() = Wide(name); }

void TApplication::Initialize() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = TForm::Native::Procedure;
  form.hInstance = GetModuleHandleW(nullptr);
  form.hIcon = LoadIconW(form.hInstance, MAKEINTRESOURCEW(1));
  form.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kFormClass;
  RegisterClassExW(&form);
  if (!heldKeys) heldKeys = SetWindowsHookExW(WH_GETMESSAGE, DropRepeats, nullptr, GetCurrentThreadId());
}

void TApplication::Adopt(TForm* form, std::function<void()> forget) {
  native_->forms.emplace_back(form, std::move(forget));
}

TForm* TApplication::MainForm() const {
  return native_->forms.empty() ? nullptr : native_->forms.front().first;
}

void TApplication::DestroyForms() {
  for (auto& [form, forget] : native_->forms) {
    delete form;
    forget();
  }
  native_->forms.clear();
}

void TApplication::Run() {
  TForm* main = MainForm();
  if (!main) return;
  ShowWindow(AsWindow(main->Handle()), SW_SHOWNORMAL);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Enter presses the focused push button, as Space does; the dialog
    // manager below would send it to a default button the form does not have.
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN) {
      if (auto* button = dynamic_cast<TButton*>(main->native_->Control(GetFocus()))) {
        button->Click();
        continue;
      }
    }
    // Tab, the arrow keys in the port group and Space, as in a dialog.
    if (IsDialogMessageW(AsWindow(main->Handle()), &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DestroyForms();
}

void TApplication::ShowException(const Exception& exception) {
  ShowErrorBox(Narrow(ProgramName()), exception.Message());
}

void TControl::SetEnabled(bool enabled) {
  SetGreyed(window_, !enabled);
  EnableWindow(AsWindow(window_), enabled);
}

bool TControl::Enabled() const { return !Greyed(window_); }

std::string TButton::GetText() const {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(AsWindow(window_))) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      GetWindowTextW(AsWindow(window_), text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void TButton::SetText(const std::string& caption) {
  SetWindowTextW(AsWindow(window_), Wide(caption).c_str());
}

void TButton::Click() {
  if (Enabled() && !Held()) RunHandler(onClick_, this);
}

int TRadioGroup::ItemIndex() const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (SendMessageW(AsWindow(items_[i]), BM_GETCHECK, 0, 0) == BST_CHECKED) return static_cast<int>(i);
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  const OwnWrite own;
  for (std::size_t i = 0; i < items_.size(); ++i)
    SendMessageW(AsWindow(items_[i]), BM_SETCHECK, static_cast<int>(i) == index ? BST_CHECKED : BST_UNCHECKED,
                 0);
}

void TRadioGroup::SetEnabled(bool enabled) {
  TControl::SetEnabled(enabled);
  for (void* item : items_) {
    SetGreyed(item, !enabled);
    EnableWindow(AsWindow(item), enabled);
  }
}

std::string TRadioGroup::ItemDescription(int index) const {
  if (!describe_ || index < 0 || index >= static_cast<int>(items_.size())) return {};
  return describe_(index);
}

bool TCheckBox::Checked() const { return SendMessageW(AsWindow(window_), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void TCheckBox::SetChecked(bool checked) {
  if (Checked() == checked) return;
  {
    const OwnWrite own;
    SendMessageW(AsWindow(window_), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  RunHandler(onClick_, this);
}

TForm::TForm(TApplication* owner) : native_(std::make_unique<Native>()), owner_(owner) {}

TForm::~TForm() {
  if (window_) {
    SetWindowLongPtrW(AsWindow(window_), GWLP_USERDATA, 0);
    DestroyWindow(AsWindow(window_));
  }
}

void TForm::Load(const FormLayout& layout) {
  native_->layout = &layout;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  HWND form = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, Wide(layout.caption).c_str(), style,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
  if (!form) throw Exception("CreateWindowEx: " + SysErrorMessage(static_cast<int>(GetLastError())));
  window_ = form;
  SetWindowLongPtrW(form, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

  // Each control is made where it stands and given its font before the
  // window shows: under Wine every move is a round trip to its server.
  const UINT dpi = native_->dpi = WindowDpi(form);
  native_->font = native_->MakeFont();
  native_->fontDpi = dpi;
  const std::vector<Rect> places = PlacesInWindow(layout);
  std::size_t made = 0;
  const auto make = [&](const wchar_t* kind, const std::string& caption, DWORD extra) {
    const std::size_t index = made++;
    const Rect& at = places.at(index);
    HWND control =
        CreateWindowExW(0, kind, Wide(caption).c_str(), WS_CHILD | WS_VISIBLE | extra, Scaled(at.left, dpi),
                        Scaled(at.top, dpi), Scaled(at.width, dpi), Scaled(at.height, dpi), form,
                        reinterpret_cast<HMENU>(kFirstControlId + index), GetModuleHandleW(nullptr), nullptr);
    if (!control) throw Exception("CreateWindowEx: " + SysErrorMessage(static_cast<int>(GetLastError())));
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(native_->font), FALSE);
    return control;
  };
  // What screen readers hear: the window by the name the program gives it,
  // each control by its role and by its spoken name where the caption alone
  // is ambiguous, each port by what it stands for.
  Speak(form, {[native = native_.get()] { return native->accessibleName; }, {}, 0});
  for (std::size_t i = 0; i < layout.count; ++i) {
    const ControlLayout& row = layout.controls[i];
    std::unique_ptr<TControl> control;
    DWORD style = WS_GROUP;
    long role = 0;
    switch (row.kind) {
      case ControlKind::Button:
        control = std::make_unique<TButton>();
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        role = ROLE_SYSTEM_PUSHBUTTON;
        break;
      case ControlKind::RadioGroup:
        control = std::make_unique<TRadioGroup>();
        style |= BS_GROUPBOX;
        role = ROLE_SYSTEM_GROUPING;
        break;
      case ControlKind::GroupBox:
        control = std::make_unique<TGroupBox>();
        style |= BS_GROUPBOX;
        role = ROLE_SYSTEM_GROUPING;
        break;
      case ControlKind::CheckBox:
        // Not an automatic check box: the toolkit flips the state itself, so
        // that a user's click and a program's write notify alike.
        control = std::make_unique<TCheckBox>();
        style |= BS_CHECKBOX | WS_TABSTOP;
        role = ROLE_SYSTEM_CHECKBUTTON;
        break;
    }
    control->window_ = make(L"BUTTON", row.caption, style);
    native_->byWindow[AsWindow(control->window_)] = control.get();
    Speak(AsWindow(control->window_),
          {row.spoken ? std::function<std::string()>([spoken = std::string(row.spoken)] { return spoken; })
                      : std::function<std::string()>(),
           {},
           role});
    if (auto* group = dynamic_cast<TRadioGroup*>(control.get())) {
      for (int item = 0; row.items && row.items[item]; ++item) {
        HWND radio =
            make(L"BUTTON", row.items[item], BS_AUTORADIOBUTTON | (item == 0 ? WS_GROUP | WS_TABSTOP : 0));
        SendMessageW(radio, BM_SETCHECK, item == row.itemIndex ? BST_CHECKED : BST_UNCHECKED, 0);
        group->items_.push_back(radio);
        native_->byWindow[radio] = group;
        Speak(radio, {{}, [group, item] { return group->ItemDescription(item); }, ROLE_SYSTEM_RADIOBUTTON});
      }
    }
    native_->controls.emplace_back(row.name, std::move(control));
  }
  native_->Place(form, {Scaled(layout.rect.left, dpi), Scaled(layout.rect.top, dpi)});
  // Not needed to show the window: made once the loop runs, after it shows.
  PostMessageW(form, kMakeTooltips, 0, 0);
}

// Each port says what it stands for in its tooltip, asked when it shows.
void TForm::Native::MakeTooltips(HWND form) {
  tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                            form, nullptr, GetModuleHandleW(nullptr), nullptr);
  SendMessageW(tooltip, TTM_SETMAXTIPWIDTH, 0, 600);
  for (const auto& [name, control] : controls) {
    const auto* group = dynamic_cast<const TRadioGroup*>(control.get());
    if (!group) continue;
    for (void* item : group->Items()) {
      TTTOOLINFOW tool{};
      tool.cbSize = sizeof tool;
      tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
      tool.hwnd = form;
      tool.uId = reinterpret_cast<UINT_PTR>(item);
      tool.lpszText = LPSTR_TEXTCALLBACKW;
      SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
  }
}

std::vector<HWND> TForm::Native::Windows() const {
  std::vector<HWND> windows;
  for (const auto& [name, control] : controls) {
    windows.push_back(AsWindow(control->Handle()));
    if (const auto* group = dynamic_cast<const TRadioGroup*>(control.get()))
      for (void* item : group->Items()) windows.push_back(AsWindow(item));
  }
  return windows;
}

HFONT TForm::Native::MakeFont() const {
  // The layout's bitmap face at 96 DPI; Windows has had its TrueType
  // counterpart, with the same metrics, since Windows 2000, and it scales.
  const std::wstring face =
      std::string(layout->font) == "MS Sans Serif" ? L"Microsoft Sans Serif" : Wide(layout->font);
  return CreateFontW(-Scaled(layout->fontPixels, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                     DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                     DEFAULT_PITCH, face.c_str());
}

// Sizes the window for its DPI and puts it at `where` (its designed place at
// the start). Once the controls are there, at another DPI than they were
// made for, they are laid out again and get a font of that scale.
void TForm::Native::Place(HWND form, POINT where) {
  RECT outer{0, 0, Scaled(ClientWidth(*layout), dpi), Scaled(ClientHeight(*layout), dpi)};
  AdjustForDpi(&outer, static_cast<DWORD>(GetWindowLongPtrW(form, GWL_STYLE)),
               static_cast<DWORD>(GetWindowLongPtrW(form, GWL_EXSTYLE)), dpi);
  SetWindowPos(form, nullptr, where.x, where.y, outer.right - outer.left, outer.bottom - outer.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
  if (fontDpi == dpi) return;

  HFONT scaled = MakeFont();
  const std::vector<Rect> places = PlacesInWindow(*layout);
  const std::vector<HWND> windows = Windows();
  for (std::size_t i = 0; i < windows.size() && i < places.size(); ++i) {
    const Rect& at = places[i];
    SetWindowPos(windows[i], nullptr, Scaled(at.left, dpi), Scaled(at.top, dpi), Scaled(at.width, dpi),
                 Scaled(at.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(windows[i], WM_SETFONT, reinterpret_cast<WPARAM>(scaled), TRUE);
  }
  // Only now that no control uses it any more.
  if (font) DeleteObject(font);
  font = scaled;
  fontDpi = dpi;
}

LRESULT CALLBACK TForm::Native::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!form) return DefWindowProcW(window, message, wParam, lParam);
  Native& native = *form->native_;
  switch (message) {
    case WM_COMMAND:
      // A click the user makes while the panel is held cannot get here (the
      // box has disabled the window), nor one on a disabled control; one
      // that does came from outside: another program can post BN_CLICKED
      // for any control, greyed out or not.
      if (HIWORD(wParam) == BN_CLICKED && !Held()) {
        TControl* control = native.Control(reinterpret_cast<HWND>(lParam));
        if (!control || !control->Enabled()) return 0;
        if (auto* button = dynamic_cast<TButton*>(control)) button->Click();
        if (auto* box = dynamic_cast<TCheckBox*>(control)) box->SetChecked(!box->Checked());
        return 0;
      }
      break;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->code == TTN_GETDISPINFOW) {
        auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
        auto* group = dynamic_cast<TRadioGroup*>(native.Control(reinterpret_cast<HWND>(header->idFrom)));
        if (group) {
          const auto& items = group->Items();
          const auto item = std::find(items.begin(), items.end(), reinterpret_cast<void*>(header->idFrom));
          static std::wstring text;  // read by the tooltip after this returns
          text = Wide(group->ItemDescription(static_cast<int>(item - items.begin())));
          info->lpszText = text.data();
        }
        return 0;
      }
      break;
    }
    case kMakeTooltips:
      native.MakeTooltips(window);
      return 0;
    case WM_ACTIVATE:
      // The focus goes back where it was when the window was left, at the
      // start to the first control in the tab order, as in a dialog.
      if (LOWORD(wParam) == WA_INACTIVE) {
        native.focus = GetFocus();
      } else {
        SetFocus(native.focus ? native.focus : GetNextDlgTabItem(window, nullptr, FALSE));
      }
      return 0;
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
      // A window disabled by a box still takes a close that comes as a
      // message: the taskbar's Close, the Task Manager, another program's
      // WM_CLOSE or SC_CLOSE, a log-off. Refused while held (0, FALSE to a
      // log-off): the send goes on, each command shown before it is
      // written, and no control is gone when the rest of the send reads it.
      if (Held()) return 0;
      break;
    case WM_DPICHANGED: {
      // Moved to a screen of another scale: everything is laid out again,
      // where Windows suggests.
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      native.dpi = HIWORD(wParam);
      native.Place(window, {suggested->left, suggested->top});
      return 0;
    }
    case WM_DESTROY:
      if (Application && Application->MainForm() == form) PostQuitMessage(0);
      form->window_ = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

template <class Control>
Control* TForm::Find(const char* name) const {
  for (const auto& [known, control] : native_->controls)
    if (known == name) return dynamic_cast<Control*>(control.get());
  return nullptr;
}

TButton* TForm::Button(const char* name) const { return Find<TButton>(name); }
TRadioGroup* TForm::RadioGroup(const char* name) const { return Find<TRadioGroup>(name); }
TGroupBox* TForm::GroupBox(const char* name) const { return Find<TGroupBox>(name); }
TCheckBox* TForm::CheckBox(const char* name) const { return Find<TCheckBox>(name); }

void TForm::SetAccessibleName(const std::string& name) { native_->accessibleName = name; }
