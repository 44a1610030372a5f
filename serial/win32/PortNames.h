#pragma once

#include "PortNumber.h"

#include <string>
#include <vector>

// "Com1" to "Com6" are Windows' own COM1 to COM6. What Windows knows of its
// ports, for the ports' tooltips and the message of a failed open.

// A port that Windows has, with what it calls the device behind it (empty
// where it names none).
struct NamedPort {
  int number;
  std::string friendlyName;
};

// What Windows knew of a port name at one moment, as the panel words it for
// the user.
struct PortFacts {
  std::string device;        // "COM3" for "Com3"; empty for a name of no port
  std::string friendlyName;  // what Windows calls the device behind it
  bool listed = false;       // Windows has a port of that number, named or not
  // The ports Windows has above COM6, in order: where a USB adapter often
  // lands, out of the panel's reach.
  std::vector<NamedPort> above;
};
