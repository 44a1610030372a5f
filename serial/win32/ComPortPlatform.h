#pragma once

// The port on Windows: a HANDLE, kept without windows.h.
using ComHandle = void*;
// INVALID_HANDLE_VALUE, what CreateFile returns when the port does not open.
inline ComHandle const kNoPort = reinterpret_cast<ComHandle>(static_cast<long long>(-1));
