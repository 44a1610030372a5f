#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The serial port of the lighting board: one descriptor for the whole process.
// Every failed call that sets up or writes the port is reported to the user in
// an error box captioned with the Windows name of the call it stands for, and
// the routine goes on. Opening reports through its result and errno (the
// panel words that for the user); closing reports nothing, since the port is
// given up either way.

// The port's descriptor; -1 when no port is open or the last open failed.
extern int PortHandle;

// How long a write may wait for the port to take and send its bytes.
inline constexpr std::chrono::milliseconds kWriteDeadline{1000};

// Opens the port named "Com1" to "Com6" for exclusive use. Returns the
// descriptor, or -1 with errno saying why; nothing is left open on failure.
// ENODEV: the name stands for no device. ENOTTY: it leads to something that
// is not a character device (a file, a directory, a FIFO, a socket). EBUSY:
// held by another program, or this program's own last close of it is still
// waiting in the kernel (DeviceClosing). `device`, when given, receives the
// device the name stood for at this attempt (empty for none), so that a
// failure can be told about the device that was tried.
int OpenComPort(const char* name, std::string* device = nullptr);

// Whether this program is still closing `device`: the kernel holds a close
// back until the port has sent what it was given.
bool DeviceClosing(const std::string& device);

// 9600 baud, 8 data bits, no parity, one stop bit, read back from the driver;
// flow control (CRTSCTS, IXON, IXOFF) and the modem-control flags (CLOCAL,
// HUPCL) stay as the port had them. Where the port's settings cannot be read,
// that is reported and the line is set raw with the receiver on and the
// modem lines ignored. The modem lines themselves follow the
// kernel: opening the port raised DTR and RTS, and with HUPCL closing it
// drops them again.
void ConfigureComPort(int handle);

// Read timing for the port: a read returns what has arrived, waiting at most
// 100 ms in all when nothing has.
void SetComTimeouts(int handle);

// Echoes `text` in a message box, then writes exactly `length` bytes of it to
// PortHandle and waits (up to kWriteDeadline) until the driver has sent them.
// Returns the number of bytes the port took.
std::uint32_t SendCommand(const char* text, std::uint32_t length);

// Reports the last system error (errno) in an error box captioned `name`.
void ShowApiError(const char* name);

// Lets queued output leave (up to the write deadline), drops what is still
// held back, and releases the port. Returns within the deadline and a tenth
// of a second even where the kernel holds the close back; the port is then
// released as soon as the kernel lets go.
void CloseComPort(int handle);
