#pragma once

// The form toolkit the panel is written against. Every platform carries the
// same classes and operations with controls of its own: Controls.h in qt/
// (Qt Widgets, for Linux) or in win32/ (Windows' own controls); the build
// picks one. Texts are UTF-8 everywhere; each platform converts at its edge.
//
// Shared by every platform: the application object (Application.h), the
// exception class (Exception.h), the stored layout (FormLayout.h) and the
// boxes (Boxes.h). What every Controls.h provides:
//   TObject          what a click handler is told its sender is
//   TForm            Load(FormLayout), the controls by name (Button,
//                    RadioGroup, GroupBox, CheckBox), SetAccessibleName
//   TButton          GetText, SetText, OnClick
//   TRadioGroup      ItemIndex, SetItemIndex, SetEnabled, SetItemDescriber
//   TGroupBox
//   TCheckBox        Checked, SetChecked, SetEnabled, OnClick
// A check box's click handler runs on every change of its checked state,
// the program's own writes on a disabled box included, before the write
// returns; writing the state it already has runs nothing.
//
// One handler at a time: while a handler runs or a box is up, the panel is
// held. Nothing from outside reaches it then, neither a click, a key or a
// close request nor a screen reader's action or a message another program
// sends: such an action is refused, never run inside the handler. Only the
// handlers' own writes to check boxes run their handlers, as above. A
// session's log-out is refused too, where the session lets the program say
// so. A quit that comes anyway never counts as the user's closing of a box:
// nothing the user was not shown is written. On Windows the program then
// ends once the send is over; with Qt it ends at the box, with 0.

#include "Boxes.h"
#include "Controls.h"
#include "FormLayout.h"
