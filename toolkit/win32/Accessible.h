#pragma once

// What a window tells screen readers beyond what Windows knows of it.
// Narrator, NVDA and JAWS read MSAA, and UI Automation reads a window that
// has no provider of its own through its MSAA bridge: both ask the window
// itself (WM_GETOBJECT), which is answered with Windows' own accessible
// object for it, overlaid with what is said here.

#include <windows.h>

#include <functional>
#include <string>

struct Spoken {
  // Asked each time a reader asks. An empty function or name leaves
  // Windows' own (the caption); an empty description says none.
  std::function<std::string()> name;
  std::function<std::string()> description;
  // ROLE_SYSTEM_PUSHBUTTON, _CHECKBUTTON, _RADIOBUTTON or _GROUPING, with
  // the state and the default action that go with it; 0 leaves Windows'
  // own. Windows knows its controls' roles, Wine does not: said here, a
  // reader hears the same on both.
  long role = 0;
};

// From now on, until it is destroyed, `window` answers screen readers with
// what `spoken` says.
void Speak(HWND window, Spoken spoken);
