#pragma once

// Calls found when first asked for, not imported: the program starts on
// Windows 7 SP1, which lacks the later ones, and does not load a DLL at
// start that only some runs need (a screen reader, a failed open).

#include <windows.h>

#include <string>

// `name` from the system's own `dll` (from System32, never from the
// program's folder), loaded on first use; null where this Windows has none.
template <class Function>
Function* LateBound(const wchar_t* dll, const char* name) {
  HMODULE module = GetModuleHandleW(dll);
  if (!module) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    module = LoadLibraryW((std::wstring(folder, length) + L"\\" + dll).c_str());
    if (!module) return nullptr;
  }
  // Through void (*)(), the function type that stands for any (GCC warns of
  // a cast from FARPROC to any other): FARPROC is one type, the call another.
  using AnyFunction = void (*)();
  return reinterpret_cast<Function*>(reinterpret_cast<AnyFunction>(GetProcAddress(module, name)));
}
