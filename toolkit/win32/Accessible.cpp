#include "Accessible.h"

#include "Hold.h"
#include "LateBound.h"
#include "Text.h"

#include <oleacc.h>

#include <map>
#include <utility>

namespace {

// oleacc, ole32 and oleaut32 are loaded only once a reader asks: a run
// without one does not pay for them at start.
using CreateStdAccessibleObjectCall = HRESULT WINAPI(HWND, LONG, REFIID, void**);
using LresultFromObjectCall = LRESULT WINAPI(REFIID, WPARAM, LPUNKNOWN);
using CoInitializeExCall = HRESULT WINAPI(void*, DWORD);
using SysAllocStringLenCall = BSTR WINAPI(const OLECHAR*, UINT);

HRESULT Bstr(const std::string& text, BSTR* out) {
  static auto* const allocate = LateBound<SysAllocStringLenCall>(L"oleaut32.dll", "SysAllocStringLen");
  if (!out) return E_INVALIDARG;
  const std::wstring wide = Wide(text);
  *out = allocate ? allocate(wide.data(), static_cast<UINT>(wide.size())) : nullptr;
  return *out ? S_OK : E_OUTOFMEMORY;
}

bool Self(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

// IAccIdentity's id: mingw-w64 gives the interface no __uuidof.
constexpr GUID kAccIdentity = {0x7852b78d, 0x1cfd, 0x41c1, {0xa6, 0x15, 0x9c, 0x0c, 0x85, 0x96, 0x0b, 0x5f}};

// Windows' own object for the window, with the name, description, role and
// state said over it; everything else is Windows' answer. It is one COM
// object: every interface it hands out is its own, each passing on to
// Windows' object what is not said here, so that a client that asks one
// interface for another never lands on Windows' object and its answers.
class Annotated final : public IAccessible,
                        public IServiceProvider,
                        public IOleWindow,
                        public IEnumVARIANT,
                        public IAccIdentity {
 public:
  Annotated(IAccessible* windows, HWND window, const Spoken& spoken, bool client)
      : windows_(windows), window_(window), spoken_(spoken), client_(client) {
    windows_->QueryInterface(__uuidof(IOleWindow), reinterpret_cast<void**>(&oleWindow_));
    windows_->QueryInterface(__uuidof(IEnumVARIANT), reinterpret_cast<void**>(&children_));
    windows_->QueryInterface(kAccIdentity, reinterpret_cast<void**>(&identity_));
  }
  Annotated(const Annotated&) = delete;
  Annotated& operator=(const Annotated&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible))
      *object = static_cast<IAccessible*>(this);
    else if (iid == __uuidof(IServiceProvider))
      *object = static_cast<IServiceProvider*>(this);
    else if (iid == __uuidof(IOleWindow) && oleWindow_)
      *object = static_cast<IOleWindow*>(this);
    else if (iid == __uuidof(IEnumVARIANT) && children_)
      *object = static_cast<IEnumVARIANT*>(this);
    else if (iid == kAccIdentity && identity_)
      *object = static_cast<IAccIdentity*>(this);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IDispatch: no late binding. Passed on, a late-bound client's calls
  // would run on Windows' object, with its names and a default action that
  // the hold does not refuse. Readers (Narrator through UI Automation's
  // bridge, NVDA, JAWS) call IAccessible's methods directly; only scripts
  // that bind late (VBScript, AutoHotkey's Acc) go without.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT /*index*/, LCID /*locale*/, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID /*iid*/, LPOLESTR* /*names*/, UINT count, LCID /*locale*/,
                                          DISPID* ids) override {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID /*id*/, REFIID /*iid*/, LCID /*locale*/, WORD /*flags*/,
                                   DISPPARAMS* /*parameters*/, VARIANT* /*result*/, EXCEPINFO* /*exception*/,
                                   UINT* /*argument*/) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    return windows_->get_accParent(parent);
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    return windows_->get_accChildCount(count);
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override {
    return windows_->get_accChild(child, object);
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
    if (!Self(child) || !spoken_.name) return windows_->get_accName(child, name);
    if (!Alive()) return CO_E_OBJNOTCONNECTED;
    const std::string said = spoken_.name();
    return said.empty() ? windows_->get_accName(child, name) : Bstr(said, name);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
    return windows_->get_accValue(child, value);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override {
    if (!Self(child) || !spoken_.description) return windows_->get_accDescription(child, description);
    if (!Alive()) return CO_E_OBJNOTCONNECTED;
    const std::string said = spoken_.description();
    if (said.empty()) {
      if (description) *description = nullptr;
      return S_FALSE;
    }
    return Bstr(said, description);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
    if (!Self(child) || !Ours()) return windows_->get_accRole(child, role);
    if (!role) return E_INVALIDARG;
    role->vt = VT_I4;
    role->lVal = spoken_.role;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
    const HRESULT windows = windows_->get_accState(child, state);
    if (!Self(child) || !Ours() || !state) return windows;
    LONG flags = windows == S_OK && state->vt == VT_I4 ? state->lVal : 0;
    flags &= ~(STATE_SYSTEM_UNAVAILABLE | STATE_SYSTEM_CHECKED | STATE_SYSTEM_FOCUSED);
    if (!IsWindowEnabled(window_)) flags |= STATE_SYSTEM_UNAVAILABLE;
    if (spoken_.role != ROLE_SYSTEM_GROUPING) flags |= STATE_SYSTEM_FOCUSABLE;
    if (GetFocus() == window_) flags |= STATE_SYSTEM_FOCUSED;
    if ((spoken_.role == ROLE_SYSTEM_CHECKBUTTON || spoken_.role == ROLE_SYSTEM_RADIOBUTTON) &&
        SendMessageW(window_, BM_GETCHECK, 0, 0) == BST_CHECKED)
      flags |= STATE_SYSTEM_CHECKED;
    state->vt = VT_I4;
    state->lVal = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override {
    return windows_->get_accHelp(child, help);
  }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
    return windows_->get_accHelpTopic(file, child, topic);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override {
    return windows_->get_accKeyboardShortcut(child, shortcut);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override { return windows_->get_accFocus(child); }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
    return windows_->get_accSelection(children);
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
    if (!Self(child) || !Clickable()) return windows_->get_accDefaultAction(child, action);
    return Bstr(spoken_.role == ROLE_SYSTEM_PUSHBUTTON    ? "Drücken"
                : spoken_.role == ROLE_SYSTEM_CHECKBUTTON ? "Umschalten"
                                                          : "Auswählen",
                action);
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
    return windows_->accSelect(flags, child);
  }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) override {
    return windows_->accLocation(left, top, width, height, child);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    return windows_->accNavigate(direction, start, end);
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) override {
    return windows_->accHitTest(x, y, child);
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    if (!Self(child) || !Clickable()) return windows_->accDoDefaultAction(child);
    // Refused while a send runs or a box is up (Hold.h): the reader is told.
    if (Greyed(window_) || Held()) return E_FAIL;
    // Posted, as Windows' own objects do: the reader's call returns at once,
    // and the click runs (with any box it raises) in the panel's own loop.
    return PostMessageW(window_, BM_CLICK, 0, 0) ? S_OK : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
    return windows_->put_accName(child, name);
  }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
    return windows_->put_accValue(child, value);
  }

  // IServiceProvider: the IAccessible service (as readers ask for the
  // object behind an interface) is this object itself; no other is offered.
  // Passed on, a service of Windows' object (IAccessibleEx, and UI
  // Automation's patterns with it) would act on the controls past the hold,
  // and IIS_IsOleaccProxy, by which UI Automation tells Windows' own proxies
  // from a program's, would have it read the window through proxies of its
  // own, past all said here.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (service != __uuidof(IAccessible)) return E_NOINTERFACE;
    return QueryInterface(iid, object);
  }

  // IOleWindow: the window the object stands for.
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override { return oleWindow_->GetWindow(window); }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enter) override {
    return oleWindow_->ContextSensitiveHelp(enter);
  }

  // IEnumVARIANT: the children, as Windows lists them.
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* children, ULONG* fetched) override {
    return children_->Next(count, children, fetched);
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override { return children_->Skip(count); }
  HRESULT STDMETHODCALLTYPE Reset() override { return children_->Reset(); }
  // Not Windows' enumerator: a proxy is its own enumerator, and a copy of it
  // would be Windows' object itself.
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** copy) override {
    if (copy) *copy = nullptr;
    return E_NOTIMPL;
  }

  // IAccIdentity: which window, object and child this is, as UI Automation
  // asks to match an object to its element.
  HRESULT STDMETHODCALLTYPE GetIdentityString(DWORD child, BYTE** identity, DWORD* length) override {
    return identity_->GetIdentityString(child, identity, length);
  }

 private:
  ~Annotated() {
    for (IUnknown* part : {static_cast<IUnknown*>(oleWindow_), static_cast<IUnknown*>(children_),
                           static_cast<IUnknown*>(identity_)})
      if (part) part->Release();
    windows_->Release();
  }
  // The role is said for the client area; the window's frame keeps Windows'.
  bool Ours() const { return client_ && spoken_.role != 0; }
  bool Alive() const { return IsWindow(window_) != FALSE; }
  bool Clickable() const { return Ours() && spoken_.role != ROLE_SYSTEM_GROUPING; }

  IAccessible* windows_;
  // Windows' object's other interfaces, where it has them.
  IOleWindow* oleWindow_ = nullptr;
  IEnumVARIANT* children_ = nullptr;
  IAccIdentity* identity_ = nullptr;
  HWND window_;
  // A copy: a reader may keep the object after the window is gone, and what
  // the functions read goes with the window (Alive).
  Spoken spoken_;
  bool client_;
  ULONG references_ = 1;
};

LRESULT Answer(HWND window, WPARAM flags, LONG object, const Spoken& spoken) {
  static auto* const create =
      LateBound<CreateStdAccessibleObjectCall>(L"oleacc.dll", "CreateStdAccessibleObject");
  static auto* const lresult = LateBound<LresultFromObjectCall>(L"oleacc.dll", "LresultFromObject");
  // The object is handed over through COM, which the panel's thread joins
  // the first time a reader asks.
  static const bool joined = [] {
    auto* coInitializeEx = LateBound<CoInitializeExCall>(L"ole32.dll", "CoInitializeEx");
    return coInitializeEx && SUCCEEDED(coInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }();
  if (!create || !lresult || !joined) return 0;
  IAccessible* windows = nullptr;
  // __uuidof, not IID_IAccessible: in a static build the latter resolves to
  // an import thunk's address, not the interface's id.
  if (FAILED(create(window, object, __uuidof(IAccessible), reinterpret_cast<void**>(&windows))) || !windows)
    return 0;
  auto* annotated = new Annotated(windows, window, spoken, object == OBJID_CLIENT);
  const LRESULT answer = lresult(__uuidof(IAccessible), flags, static_cast<IAccessible*>(annotated));
  annotated->Release();
  return answer > 0 ? answer : 0;
}

// Each speaking window's own procedure and what it says. Kept here rather
// than with the window (SetWindowSubclass keeps it as a window property):
// Wine's server holds the properties, and the subclass would ask it for one
// on every message each control gets, thousands of round trips before the
// window has even shown.
struct Speaker {
  WNDPROC next = nullptr;
  Spoken spoken;
};

std::map<HWND, Speaker>& Speakers() {
  static std::map<HWND, Speaker> speakers;
  return speakers;
}

// Whether `message` to a control is one that another program sent or
// posted, and that the user could not have made: refused before the control
// acts on it. Windows keeps the mouse and the keyboard from a disabled
// control and from a window a box has disabled, but a sent or posted
// message reaches the control all the same, and a port item (an automatic
// radio button) would move its check itself, before the panel could refuse
// the BN_CLICKED it sends.
//
// Only what starts a click is refused: a mouse-up or key-up after a down
// that came before the hold must still reach the control, which would keep
// the capture and its pushed look otherwise; without its down it does
// nothing.
bool FromOutside(HWND window, UINT message, long role) {
  const bool shut = Held() || Greyed(window);
  switch (message) {
    case BM_SETCHECK:
      if (WritingOwnCheck()) return false;
      // A check box is written by the toolkit alone, which runs its handler.
      // A port item also checks itself and clears the others when clicked,
      // with messages sent within this thread; one sent from another
      // program's thread is refused (one posted is dropped before this,
      // DropRepeats in Toolkit.cpp).
      return role == ROLE_SYSTEM_CHECKBUTTON || shut || InSendMessageEx(nullptr) != ISMEX_NOSEND;
    case BM_CLICK:  // a reader's too, when it was posted before the box came up
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_KEYDOWN:
    case WM_CHAR:
      return shut;
    default:
      return false;
  }
}

LRESULT CALLBACK Speaking(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto& speakers = Speakers();
  const auto found = speakers.find(window);
  if (found == speakers.end()) return DefWindowProcW(window, message, wParam, lParam);
  const WNDPROC next = found->second.next;
  if (message == WM_GETOBJECT) {
    // The object's id comes as a 32-bit value, whatever the rest of lParam holds.
    const auto object = static_cast<LONG>(static_cast<DWORD>(lParam));
    if (object == OBJID_CLIENT || object == OBJID_WINDOW) {
      // A copy: answering sends the window messages of its own.
      const Spoken spoken = found->second.spoken;
      if (const LRESULT answer = Answer(window, wParam, object, spoken)) return answer;
    }
  } else if (FromOutside(window, message, found->second.spoken.role)) {
    return 0;
  } else if (message == WM_NCDESTROY) {
    SetGreyed(window, false);  // its handle may come back for another window
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(next));
    speakers.erase(found);
  }
  return CallWindowProcW(next, window, message, wParam, lParam);
}

}  // namespace

void Speak(HWND window, Spoken spoken) {
  auto& speakers = Speakers();
  // A second subclass would make the window's own procedure Speaking itself.
  if (const auto known = speakers.find(window); known != speakers.end()) {
    known->second.spoken = std::move(spoken);
    return;
  }
  // Swapping the procedure sends the window no message, so none reaches
  // Speaking before the window is listed.
  const auto next = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Speaking)));
  if (next) speakers.emplace(window, Speaker{next, std::move(spoken)});
}
