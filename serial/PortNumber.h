#pragma once

#include <string>

// The panel's ports are named "Com1" to "Com6"; every platform reads a
// port's number from its name by this one rule.

// The n of "Com<n>", a single digit from 1 to 9; 0 for any other name.
// Windows reaches COM1 to COM9 by these very names, and the panel offers
// no port beyond them.
int PortNumber(const std::string& name);
