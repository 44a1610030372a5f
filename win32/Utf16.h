#pragma once

// The program's texts are UTF-8; Windows' wide calls take UTF-16, which
// shows the umlauts right whatever the system's code page.

#include <string>

std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
