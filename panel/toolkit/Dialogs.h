#pragma once

#include <QString>

class QWidget;

#include <cstdint>
#include <functional>

// The modal boxes of the panel. Every box the program shows passes through
// here, so that a test can see each one and answer it in place of a person.

enum class BoxKind : std::uint8_t {
  Message,  // plain box with an OK button
  Error,    // stop icon, OK button only
};

struct Box {
  BoxKind kind;
  QString caption;
  QString text;
  QString description = {};  // for screen readers: what the text means, when it needs saying
};

// Takes a box instead of the screen and returns once it counts as closed.
using BoxHandler = std::function<void(const Box&)>;

// Installs `handler` (an empty one restores the real boxes) and returns the
// one it replaces.
BoxHandler SetBoxHandler(BoxHandler handler);

// Names the window that message boxes belong to, asked each time one is
// shown (the application object hands in its main window); none: null.
void SetBoxOwner(std::function<QWidget*()> owner);

// A modal box with `text` and an OK button, owned by the box owner's window;
// returns when it has been closed.
void ShowMessage(const QString& text);

// Says what the text of a message box means, for its description to screen
// readers; an empty result adds none. Installing an empty one removes it.
using MessageDescriber = std::function<QString(const QString& text)>;
void SetMessageDescriber(MessageDescriber describe);

// A modal error box with no owner window: stop icon, OK only.
void ShowErrorBox(const QString& caption, const QString& text);

// The system's message text for an errno value.
QString SysErrorMessage(int code);
