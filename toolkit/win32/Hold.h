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

// The toolkit's own write of a check box's or a port item's check
// (BM_SETCHECK), for as long as it lives. Another program can send that
// message too, and it would change what the next send reads without a
// handler run: any write not marked so is refused (Accessible.cpp).
class OwnWrite {
 public:
  OwnWrite();
  ~OwnWrite();
  OwnWrite(const OwnWrite&) = delete;
  OwnWrite& operator=(const OwnWrite&) = delete;
};

// Whether the toolkit itself is writing a check.
bool WritingOwnCheck();

// Whether the toolkit has greyed `window` out. Kept by the toolkit rather
// than read from the window: another program can clear a window's
// WS_DISABLED (EnableWindow) and then click it.
void SetGreyed(void* window, bool greyed);
bool Greyed(void* window);
