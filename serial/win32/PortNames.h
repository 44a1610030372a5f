#pragma once

#include <string>

// "Com1" to "Com6" are Windows' own COM1 to COM6. What Windows knows of its
// ports, for the ports' tooltips and the message of a failed open.

// "Com3" -> 3; 0 for any other name.
int PortNumber(const char* name);

// What Windows calls the device behind COMn, e.g. "USB Serial Port (COM3)";
// empty where it knows none.
std::string FriendlyName(int number);

// Where the panel cannot reach the user's adapter, because Windows gave it a
// number above 6: which ports those are, and how to give one a number the
// panel offers. Empty when Windows has none above 6.
std::string RenumberHint();
