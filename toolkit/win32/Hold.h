#pragma once

// One send at a time, whatever asks for it. A box disables the panel's
// window, which keeps the mouse and the keyboard from it; but a screen
// reader's default action, a message another program sends, or a close
// request that Wine passes on still reach its controls. While a handler
// runs or a box is up, the panel is held: such actions are refused, and
// only the handlers' own writes (a check box set by the program) go on.

// Holds the panel for as long as it lives.
class Hold {
 public:
  Hold();
  ~Hold();
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
};

// Whether a handler runs or a box is up.
bool Held();

// Ends the message loop with `code` once the panel is no longer held: a
// quit posted from outside would otherwise close every box that follows at
// once, unseen, with its command written all the same.
void QuitWhenFree(int code);
