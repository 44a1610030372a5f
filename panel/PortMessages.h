#pragma once

#include "OpenAttempt.h"

#include <string>

// The user's words for what the serial routines found out about a port.
// The facts differ by platform, and so do the words: one implementation
// each in posix/ and win32/.

// Why the attempt to open `name` failed: where the name led, the system's
// reason, and what the user can do about it; each part after a blank line,
// to follow the panel's own message.
std::string OpenFailureDetail(const char* name, const OpenAttempt& attempt);

// What the port `name` stands for, as its tooltip and a screen reader tell
// it: its device and what the system knows of the adapter behind it.
std::string PortDescription(const char* name, const PortFacts& port);
