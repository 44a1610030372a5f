// Operates the panel under Wine as a Windows screen reader does, through
// MSAA alone, from a process of its own: reads the window's name, the role
// and name of each control and a description of each port, connects through
// the button's default action, switches the side light through its own, and
// reads and closes each of the 13 echo boxes. Prints what it read; exits 1
// at the first thing that is not as a user needs it. Every wait is bounded.
//   msaa_check.exe            the whole round
//   msaa_check.exe box TEXT   only the box that is open: fails unless its
//                             text holds each TEXT (ASCII: Wine hands the
//                             arguments over in the Unix locale's charset)
//   msaa_check.exe refused NAME   only the default action of the control
//                             NAME, once: succeeds only if it is refused
//   msaa_check.exe post NAME [HOW]  what another program may send or post
//                             to the control NAME: a BM_CLICK, or as HOW says
//                             a click notification to its window (notify),
//                             a BM_SETCHECK that checks it (check), a mouse
//                             click (mouse), its WS_DISABLED cleared and then
//                             a click and a click notification (enable);
//                             with "close" the window's close
//                             (WM_CLOSE, SC_CLOSE), after a log-off's question
//                             (WM_QUERYENDSESSION), which must be refused;
//                             with "quit" a WM_QUIT. Fails if not posted
#include <windows.h>

#include <oleacc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out(static_cast<std::size_t>(text.size() * 4 + 1), '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return out;
}

[[noreturn]] void Fail(const std::string& what) {
  std::printf("msaa: FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

template <class Find>
auto WaitFor(const char* what, Find find) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    if (auto found = find()) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Fail(std::string(what) + " within 10 s");
}

struct Read {
  long role = 0;
  long state = 0;
  std::string name;
  std::string description;
};

VARIANT Self() {
  VARIANT self;
  VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  return self;
}

std::string Take(BSTR text) {
  std::string out = text ? Utf8(text) : std::string();
  SysFreeString(text);
  return out;
}

IAccessible* ObjectOf(HWND window, LONG object) {
  IAccessible* accessible = nullptr;
  if (FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(object), __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&accessible))))
    return nullptr;
  return accessible;
}

// What a reader hears of a window: its client area's object.
Read ReadWindow(HWND window) {
  Read read;
  IAccessible* accessible = ObjectOf(window, OBJID_CLIENT);
  if (!accessible) Fail("no accessible object for a window");
  BSTR text = nullptr;
  if (accessible->get_accName(Self(), &text) == S_OK) read.name = Take(text);
  text = nullptr;
  if (accessible->get_accDescription(Self(), &text) == S_OK) read.description = Take(text);
  VARIANT value;
  VariantInit(&value);
  if (accessible->get_accRole(Self(), &value) == S_OK && value.vt == VT_I4) read.role = value.lVal;
  VariantInit(&value);
  if (accessible->get_accState(Self(), &value) == S_OK && value.vt == VT_I4) read.state = value.lVal;
  accessible->Release();
  return read;
}

// UI Automation reads an object that answers this service as one of
// Windows' own proxies: through proxies of its own, past all the panel says.
constexpr GUID kIsOleaccProxy = {
    0x902697fa, 0x80e4, 0x4560, {0x80, 0x2a, 0xa1, 0x3f, 0x22, 0xa6, 0x47, 0x09}};
int notProxies = 0;

// Whether `object` is the COM object whose identity is `self`; releases it.
bool SameObject(IUnknown* object, IUnknown* self) {
  if (!object) return false;
  IUnknown* identity = nullptr;
  object->QueryInterface(&identity);
  const bool same = identity && identity == self;
  if (identity) identity->Release();
  object->Release();
  return same;
}

// The window's object is none, and every way a client may ask it for an
// interface (IServiceProvider, QueryService for IAccessible, IDispatch)
// leads back to it, never to Windows' own object and its default action.
void CheckNotAProxy(HWND window, const std::string& name) {
  IAccessible* accessible = ObjectOf(window, OBJID_CLIENT);
  IServiceProvider* services = nullptr;
  IUnknown *self = nullptr, *proxy = nullptr;
  if (!accessible || FAILED(accessible->QueryInterface(&services))) Fail(name + " has no IServiceProvider");
  accessible->QueryInterface(&self);
  if (SUCCEEDED(services->QueryService(kIsOleaccProxy, &proxy)) || proxy)
    Fail(name + " answers IIS_IsOleaccProxy, as Windows' own proxies do");
  services->AddRef();
  if (!self || !SameObject(services, self)) Fail(name + "'s IServiceProvider is another COM object");
  const struct {
    const char* what;
    IID iid;
  } routes[] = {{"IAccessible", __uuidof(IAccessible)}, {"IDispatch", __uuidof(IDispatch)}};
  for (const auto& route : routes) {
    void* found = nullptr;
    services->QueryService(__uuidof(IAccessible), route.iid, &found);
    if (!SameObject(static_cast<IUnknown*>(found), self))
      Fail(name + ": QueryService for " + route.what + " leads to another COM object");
  }
  IDispatch* dispatch = nullptr;
  accessible->QueryInterface(&dispatch);
  if (!SameObject(dispatch, self)) Fail(name + "'s IDispatch is another COM object");
  for (IUnknown* held : {self, static_cast<IUnknown*>(services), static_cast<IUnknown*>(accessible)})
    held->Release();
  ++notProxies;
}

void DefaultAction(HWND window) {
  IAccessible* accessible = ObjectOf(window, OBJID_CLIENT);
  if (!accessible || FAILED(accessible->accDoDefaultAction(Self()))) Fail("a default action was refused");
  accessible->Release();
}

const char* RoleName(long role) {
  switch (role) {
    case ROLE_SYSTEM_PUSHBUTTON:
      return "push button";
    case ROLE_SYSTEM_CHECKBUTTON:
      return "check button";
    case ROLE_SYSTEM_RADIOBUTTON:
      return "radio button";
    case ROLE_SYSTEM_GROUPING:
      return "grouping";
    default:
      return "other";
  }
}

struct Expected {
  long role;
  const char* name;
};

constexpr long kPush = ROLE_SYSTEM_PUSHBUTTON, kGroup = ROLE_SYSTEM_GROUPING,
               kRadio = ROLE_SYSTEM_RADIOBUTTON, kCheck = ROLE_SYSTEM_CHECKBUTTON;
// The controls in the tab order, as a reader meets them.
constexpr Expected kControls[] = {
    {kPush, "verbinden"},
    {kGroup, "ComPort"},
    {kRadio, "Com1"},
    {kRadio, "Com2"},
    {kRadio, "Com3"},
    {kRadio, "Com4"},
    {kRadio, "Com5"},
    {kRadio, "Com6"},
    {kGroup, "Allgemein"},
    {kCheck, "Standlicht"},
    {kCheck, "Abblendlicht"},
    {kCheck, "Fernlicht"},
    {kGroup, "Sonderfunktionen"},
    {kCheck, "Rueckwaerts"},
    {kCheck, "Innenraum"},
    {kGroup, "Nebel"},
    {kCheck, "Nebelschlussleuchte"},
    {kCheck, "Nebelscheinwerfer"},
    {kGroup, "Blinker"},
    {kCheck, "Links"},
    {kCheck, "Rechts"},
    {kCheck, "Parklicht"},
    {kCheck, "Warnblinklicht"},
    {kGroup, "Lichtautomatik"},
    {kCheck, "Abblendlicht (Lichtautomatik)"},
    {kCheck, "Fernlicht (Lichtautomatik)"},
};

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM list) {
        // The callback's context comes back as the integer it was passed as.
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);  // NOLINT(performance-no-int-to-ptr)
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

HWND Control(HWND panel, const char* name) {
  for (HWND child : Children(panel))
    if (ReadWindow(child).name == name) return child;
  Fail(std::string("no control named ") + name);
}

// The box the panel has open: a dialog of the panel's process.
HWND OpenBox(DWORD process) {
  struct Search {
    DWORD process;
    HWND found;
  } search{process, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) {
        auto* search = reinterpret_cast<Search*>(data);  // NOLINT(performance-no-int-to-ptr): as above
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t kind[16] = L"";
        GetClassNameW(window, kind, 16);
        if (owner == search->process && IsWindowVisible(window) && std::wstring(kind) == L"#32770") {
          search->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string BoxText(HWND box) {
  wchar_t text[2048] = L"";
  GetDlgItemTextW(box, 0xFFFF, text, 2048);  // the static a message box shows its text in
  return Utf8(text);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (FAILED(CoInitialize(nullptr))) Fail("no COM");
  HWND panel = WaitFor("the panel window", [] { return FindWindowW(L"LichtsteuerungForm", nullptr); });
  DWORD process = 0;
  GetWindowThreadProcessId(panel, &process);

  if (argc > 1 && std::string(argv[1]) == "box") {
    HWND box = WaitFor("a box", [&] { return OpenBox(process); });
    const Read read = ReadWindow(box);
    const std::string text = BoxText(box);
    std::printf("msaa: box %s, text %s, description '%s'\n", read.name.c_str(), text.c_str(),
                read.description.c_str());
    for (int i = 2; i < argc; ++i)
      if (text.find(argv[i]) == std::string::npos) Fail(std::string("the box does not say ") + argv[i]);
    return 0;
  }
  if (argc > 2 && std::string(argv[1]) == "refused") {
    IAccessible* control = ObjectOf(Control(panel, argv[2]), OBJID_CLIENT);
    const HRESULT result = control ? control->accDoDefaultAction(Self()) : S_OK;  // no object refuses nothing
    std::printf("msaa: default action on %s: 0x%08lx\n", argv[2], static_cast<unsigned long>(result));
    // E_FAIL is the panel's refusal; any other failure (COM's, RPC's) is not.
    return result == E_FAIL ? 0 : 1;
  }
  if (argc > 2 && std::string(argv[1]) == "post") {
    const std::string what = argv[2];
    bool posted = false;
    if (what == "close") {
      DWORD_PTR answer = TRUE;
      if (!SendMessageTimeoutW(panel, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000,
                               &answer))
        Fail("no answer to WM_QUERYENDSESSION");
      std::printf("msaa: WM_QUERYENDSESSION answered %s\n", answer ? "TRUE" : "FALSE");
      if (answer) Fail("a log-off was not refused");
      posted = PostMessageW(panel, WM_SYSCOMMAND, SC_CLOSE, 0) && PostMessageW(panel, WM_CLOSE, 0, 0);
      std::printf("msaa: posted WM_SYSCOMMAND SC_CLOSE and WM_CLOSE\n");
    } else if (what == "quit") {
      posted = PostMessageW(panel, WM_QUIT, 0, 0);
      std::printf("msaa: posted WM_QUIT\n");
    } else {
      HWND control = Control(panel, argv[2]);
      const std::string how = argc > 3 ? argv[3] : "click";
      if (how == "notify") {
        posted = PostMessageW(panel, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                              reinterpret_cast<LPARAM>(control));
      } else if (how == "check") {
        DWORD_PTR ignored = 0;
        posted = SendMessageTimeoutW(control, BM_SETCHECK, BST_CHECKED, 0, SMTO_ABORTIFHUNG, 10000, &ignored);
      } else if (how == "mouse") {
        const LPARAM inside = MAKELPARAM(4, 4);
        posted = PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, inside) &&
                 PostMessageW(control, WM_LBUTTONUP, 0, inside);
      } else if (how == "enable") {
        EnableWindow(control, TRUE);
        posted = PostMessageW(control, BM_CLICK, 0, 0) &&
                 PostMessageW(panel, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                              reinterpret_cast<LPARAM>(control));
      } else if (how == "click") {
        posted = PostMessageW(control, BM_CLICK, 0, 0);
      } else {
        Fail("no such way to post: " + how);
      }
      std::printf("msaa: %s to %s\n", how.c_str(), argv[2]);
    }
    return posted ? 0 : 1;
  }

  const Read window = ReadWindow(panel);
  std::printf("msaa: window '%s'\n", window.name.c_str());
  if (window.name != "Lichtsteuerung") Fail("the window is called '" + window.name + "'");
  CheckNotAProxy(panel, "the window");
  const std::vector<HWND> children = Children(panel);
  std::size_t at = 0;
  for (HWND child : children) {
    const Read read = ReadWindow(child);
    if (read.role == 0 || read.role == ROLE_SYSTEM_TOOLTIP) continue;
    if (at == std::size(kControls) || read.role != kControls[at].role || read.name != kControls[at].name)
      Fail("control " + std::to_string(at + 1) + " reads " + RoleName(read.role) + " '" + read.name + "'");
    CheckNotAProxy(child, read.name);
    if (read.role == kRadio) {
      std::printf("msaa: %s description '%s'\n", read.name.c_str(), read.description.c_str());
      if (read.description.empty()) Fail(read.name + " has no description");
    }
    ++at;
  }
  if (at != std::size(kControls)) Fail("only " + std::to_string(at) + " controls");
  std::printf("msaa: %zu controls with their roles and names, as expected\n", at);

  HWND button = Control(panel, "verbinden");
  DefaultAction(button);
  WaitFor("the button to read trennen", [&] { return ReadWindow(button).name == "trennen"; });
  HWND sideLight = Control(panel, "Standlicht");
  if (ReadWindow(sideLight).state & STATE_SYSTEM_UNAVAILABLE) Fail("the side light is still greyed out");
  DefaultAction(sideLight);
  for (int n = 1; n <= 13; ++n) {
    HWND box = WaitFor("an echo box", [&] { return OpenBox(process); });
    const Read read = ReadWindow(box);
    std::printf("msaa: box %d: '%s', text %s, description '%s'\n", n, read.name.c_str(), BoxText(box).c_str(),
                read.description.c_str());
    if (read.description.empty()) Fail("echo box " + std::to_string(n) + " has no description");
    CheckNotAProxy(box, "echo box " + std::to_string(n));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    WaitFor("the box to close", [&] { return !IsWindow(box) || !IsWindowVisible(box); });
  }
  if (!(ReadWindow(sideLight).state & STATE_SYSTEM_CHECKED)) Fail("the side light does not read as checked");
  std::printf("msaa: 13 echo boxes read and closed; the side light reads as checked\n");
  std::printf(
      "msaa: %d objects checked: none answers IIS_IsOleaccProxy, each is one COM object, whichever "
      "interface or service a client asks for\n",
      notProxies);
  CoUninitialize();
  return 0;
}
