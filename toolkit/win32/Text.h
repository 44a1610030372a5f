#pragma once

// The toolkit's units convert their texts through this header (Utf16.h,
// which the serial routines share) and find the program's name here.

#include "Utf16.h"

#include <string>

// The program's name, as SetName gave it: the title of its boxes.
std::wstring& ProgramName();
