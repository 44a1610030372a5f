#pragma once

#include "ComPortPlatform.h"
#include "OpenAttempt.h"

#include <chrono>
#include <cstdint>
#include <string>

// The serial port of the lighting board: one handle for the whole process,
// opened, set up and written by the platform's own calls (posix/, win32/).
// Every failed call that sets up or writes the port is reported to the user in
// an error box captioned with the Windows name of the call, and the routine
// goes on. Opening reports through its result, and what a port stands for
// is told as facts (PortFacts, in the platform's PortNames.h): the panel
// words both for the user. Closing reports nothing, since the port is given
// up either way.

// The port's handle; kNoPort when no port is open or the last open failed
// (on Windows null before the first open, see win32/ComPortPlatform.h).
extern ComHandle PortHandle;

// How long a write may wait for the port to take and send its bytes.
inline constexpr std::chrono::milliseconds kWriteDeadline{1000};

// Opens the port named "Com1" to "Com6" for exclusive use. Returns its
// handle, or kNoPort with `attempt` (when given) saying why; nothing is left
// open on failure.
ComHandle OpenComPort(const char* name, OpenAttempt* attempt = nullptr);

// What the port `name` stands for at this moment: its device and what the
// system knows of the adapter behind it. Asked afresh each time, since
// adapters come and go.
PortFacts LookUpPort(const char* name);

// 9600 baud, 8 data bits, no parity, one stop bit, read back from the driver;
// every other setting stays as the port had it: flow control (CRTSCTS, IXON,
// IXOFF; on Windows the DCB's), the modem-control flags (CLOCAL, HUPCL; the
// DCB's DTR and RTS control). Where the port's settings cannot be read, that
// is reported and the line is set plain: raw, no flow control, with the
// receiver on and the modem lines ignored on Linux, DTR and RTS raised on
// Windows. On Linux the modem lines themselves follow the kernel: opening the
// port raised DTR and RTS, and with HUPCL closing it drops them again.
void ConfigureComPort(ComHandle handle);

// Timing for the port. A read returns what has arrived, waiting at most
// 100 ms in all when nothing has: termios waits that long for a first byte,
// Windows ends any read after 1 ms. On Windows a write also ends at
// kWriteDeadline; on Linux SendCommand keeps that deadline itself.
void SetComTimeouts(ComHandle handle);

// Echoes `text` in a message box, then writes exactly `length` bytes of it to
// PortHandle and waits (up to kWriteDeadline) until the driver has sent them.
// Returns the number of bytes the port took.
std::uint32_t SendCommand(const char* text, std::uint32_t length);

// Reports the last system error (errno, GetLastError) in an error box
// captioned `name`.
void ShowApiError(const char* name);

// Lets queued output leave (up to the write deadline), drops what is still
// held back, and releases the port. On Windows the port is free when this
// returns. On Linux the driver may keep output that the kernel's last close
// would wait for (posix/ComPort.cpp): this still returns within the deadline
// and a tenth of a second, and the port stays locked, refusing other openers
// at once, until that output has gone or the kernel's closing wait is over.
// On Linux what keeps it locked ends with the thread that called this (it
// drops the output then), so call it from the thread that runs the window.
void CloseComPort(ComHandle handle);
