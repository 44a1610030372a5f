#pragma once

#include "PortNames.h"

// What one attempt to open a port found (OpenComPort). The device its name
// stood for at that moment (port.device, empty for none) and, when it
// failed, the system's error code and what the system knew of the port
// then. Apart from ComPort.h, so that whoever words it for the user needs
// nothing of the port's handle.
struct OpenAttempt {
  PortFacts port;
  int error = 0;
  // The port was busy because this program's own last close of it still
  // waits in the kernel (Linux only; see CloseComPort).
  bool stillReleasing = false;
};
