#pragma once

// The port on Windows: a HANDLE, kept without windows.h.
using ComHandle = void*;
// INVALID_HANDLE_VALUE, what CreateFile returns when the port does not open.
// PortHandle starts null instead, before the first open; CloseComPort passes
// over both.
inline ComHandle const kNoPort = reinterpret_cast<ComHandle>(static_cast<long long>(-1));
