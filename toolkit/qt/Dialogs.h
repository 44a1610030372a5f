#pragma once

// The modal boxes of the panel as Qt shows them (ShowMessage and
// ShowErrorBox are in Boxes.h). Every box the program shows passes
// through here, so that a test can see each one and answer it in place of
// a person.

#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

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

// Called by every box before it is shown and once it is down, told whether
// the user closed it. Where a quit came while the panel was held, or the box
// went down without the user, the program ends here, with 0, before the
// caller goes on to write what the box was shown for; otherwise returns.
void EndIfQuitWhileHeld(bool closedByUser = true);
