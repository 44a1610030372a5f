#pragma once

// The toolkit's modal boxes and the system's error texts; each platform's
// toolkit implements them.

#include <functional>
#include <string>

// A modal box with `text` and an OK button, owned by the main window;
// returns when it has been closed.
void ShowMessage(const std::string& text);

// Says what the text of a message box means, for its description to screen
// readers; an empty result adds none. Installing an empty one removes it.
using MessageDescriber = std::function<std::string(const std::string& text)>;
void SetMessageDescriber(MessageDescriber describe);

// An error box with no owner window: stop icon, OK only. Until it is
// closed, it holds every window of the program; returns then.
void ShowErrorBox(const std::string& caption, const std::string& text);

// The system's message text for an error code (errno, or GetLastError's).
std::string SysErrorMessage(int code);
