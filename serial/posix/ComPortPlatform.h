#pragma once

#include <string>

// The port on POSIX systems: a file descriptor.
using ComHandle = int;
inline constexpr ComHandle kNoPort = -1;

// Whether this program is still closing `device`: the kernel holds a close
// back until the port has sent what it was given (see CloseComPort).
bool DeviceClosing(const std::string& device);
