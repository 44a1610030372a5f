#pragma once

#include <string>
#include <vector>

// "Com1" to "Com6" stand for device paths. LICHTSTEUERUNG_COMn names the
// device of "Comn" when it is set; otherwise "Comn" is the n-th serial port of
// this machine (see SerialPorts).

// The variable that maps a port name, e.g. "LICHTSTEUERUNG_COM3" for "Com3";
// empty for a name that is not of the form "Com<n>".
std::string ComPortVariable(const std::string& name);

// The device path for a port name, or an empty string when it stands for none.
std::string ComPortDevice(const std::string& name);

// This machine's serial ports as device paths, in a stable order: the ttyS
// ports that have a UART behind them, then USB serial adapters (ttyUSB), then
// USB modems and boards (ttyACM), each in numeric order. `ttyClass` is the
// sysfs folder that lists the tty devices.
std::vector<std::string> SerialPorts(const std::string& ttyClass = "/sys/class/tty");
