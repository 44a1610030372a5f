#pragma once

#include <chrono>
#include <cstdint>

// The serial port of the lighting board: one descriptor for the whole process.
// Every failed system call is reported to the user in an error box captioned
// with the Windows name of the call it stands for, and the routine goes on.

// The port's descriptor; -1 when no port is open or the last open failed.
extern int PortHandle;

// How long a write may wait for the port to take and send its bytes.
inline constexpr std::chrono::milliseconds kWriteDeadline{1000};

// Opens the port named "Com1" to "Com6" for exclusive use. Returns the
// descriptor, or -1 with errno saying why; nothing is left open on failure.
int OpenComPort(const char* name);

// 9600 baud, 8 data bits, no parity, one stop bit, read back from the driver;
// flow control (CRTSCTS, IXON, IXOFF) and the modem-control flags (CLOCAL,
// HUPCL) stay as the port had them. The modem lines themselves follow the
// kernel: opening the port raised DTR and RTS, and with HUPCL closing it
// drops them again.
void ConfigureComPort(int handle);

// Read timing for the port: a 100 ms gap between bytes ends a read.
void SetComTimeouts(int handle);

// Echoes `text` in a message box, then writes exactly `length` bytes of it to
// PortHandle and waits (up to kWriteDeadline) until the driver has sent them.
// Returns the number of bytes the port took.
std::uint32_t SendCommand(const char* text, std::uint32_t length);

// Reports the last system error (errno) in an error box captioned `name`.
void ShowApiError(const char* name);

// Lets queued output leave (up to the write deadline), drops what is still
// held back, and releases the port.
void CloseComPort(int handle);
