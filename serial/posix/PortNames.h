#pragma once

#include "PortNumber.h"

#include <cstdint>
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

// This machine's serial ports as device paths, in a stable order: its own
// UARTs (the ttyS ports that have a chip behind them, then those of ARM
// boards such as ttyAMA and ttymxc), then USB serial adapters (ttyUSB), then
// USB modems and boards (ttyACM), each family in numeric order. `ttyClass` is the
// sysfs folder that lists the tty devices.
std::vector<std::string> SerialPorts(const std::string& ttyClass = "/sys/class/tty");

// What the machine says about the device behind a port, for telling one
// adapter from another. Empty fields are unknown.
struct PortIdentity {
  std::string device;             // the device node that `path` leads to
  std::vector<std::string> byId;  // its stable names in `byIdFolder`, sorted
  std::string maker;              // USB adapters and boards: from the USB device
  std::string product;
  std::string serialNumber;
};

// Never throws: sysfs entries come and go while an adapter is plugged.
PortIdentity IdentifyPort(const std::string& path, const std::string& ttyClass = "/sys/class/tty",
                          const std::string& byIdFolder = "/dev/serial/by-id");

// What stands at a device path, for telling the user what was named
// instead of a port. Missing: nothing, or nothing that may be looked at.
enum class NodeKind : std::uint8_t { Missing, File, Directory, Fifo, Socket, BlockDevice, Other };

// What a port name stood for at one moment, as the panel words it for the
// user.
struct PortFacts {
  std::string device;                 // the device path; empty for none
  std::string variable;               // the variable that maps the name (ComPortVariable)
  bool variableEmpty = false;         // it is set, but to nothing
  NodeKind node = NodeKind::Missing;  // what stands at `device`
  PortIdentity identity;              // the device behind it
};

// The facts of `name` standing for `device`: the caller has resolved the
// name, so that they tell of the device it tried.
PortFacts LookUpPort(const char* name, const std::string& device);
