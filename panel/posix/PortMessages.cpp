#include "PortMessages.h"

#include "Boxes.h"

#include <cerrno>

namespace {

// Serial ports belong to the group dialout on Debian and its kin.
constexpr const char* kDialoutHint =
    "Ihr Benutzer darf diesen Anschluss nicht öffnen: Nehmen Sie ihn mit "
    "\u201Esudo usermod -aG dialout $USER\u201C in die Gruppe dialout auf und melden Sie sich danach neu "
    "an.";

// This program's own last close of the port still waits in the kernel for the
// board to take what was sent (up to the driver's closing wait).
constexpr const char* kStillClosingHint =
    "Dieses Programm gibt den Anschluss noch frei: Das Gerät hat die zuletzt gesendeten Befehle "
    "nicht abgenommen, und der Treiber wartet bis zu 30 Sekunden darauf. Versuchen Sie es danach "
    "noch einmal.";

// Where a port name leads: its device, or why there is none.
std::string PortWhere(const char* name, const PortFacts& port) {
  if (!port.device.empty()) return port.device;
  if (port.variableEmpty) return std::string(name) + " (" + port.variable + " ist gesetzt, aber leer)";
  return std::string(name) + " (kein serieller Anschluss gefunden, " + port.variable + " nicht gesetzt)";
}

// Why a device did not open: the system's text, or what it is when that is
// no device at all.
std::string OpenFailureReason(const OpenAttempt& attempt) {
  if (attempt.error != ENOTTY || attempt.port.node == NodeKind::Missing)
    return SysErrorMessage(attempt.error);
  const char* kind = nullptr;
  switch (attempt.port.node) {
    case NodeKind::File:
      kind = "eine gewöhnliche Datei";
      break;
    case NodeKind::Directory:
      kind = "ein Verzeichnis";
      break;
    case NodeKind::Fifo:
      kind = "eine benannte Pipe (FIFO)";
      break;
    case NodeKind::Socket:
      kind = "ein Socket";
      break;
    case NodeKind::BlockDevice:
      kind = "ein Blockgerät";
      break;
    case NodeKind::Missing:
    case NodeKind::Other:
      break;
  }
  if (!kind) return "kein serieller Anschluss";
  return std::string("kein serieller Anschluss, sondern ") + kind;
}

}  // namespace

std::string OpenFailureDetail(const char* name, const OpenAttempt& attempt) {
  // The fixed text guesses another program; the system's reason tells the
  // real one, most often a user who is not in the dialout group.
  std::string text = "\n\n" + PortWhere(name, attempt.port) + ": " + OpenFailureReason(attempt);
  if (attempt.error == EACCES) text += std::string("\n\n") + kDialoutHint;
  if (attempt.stillReleasing) text += std::string("\n\n") + kStillClosingHint;
  return text;
}

// Where the name leads and, for a device, what the machine says of it, e.g.
// "/dev/ttyUSB0 — FTDI FT232R USB UART, Seriennummer A50285BI" followed by a
// line for each stable name.
std::string PortDescription(const char* name, const PortFacts& port) {
  if (port.device.empty()) return PortWhere(name, port);
  const PortIdentity& identity = port.identity;
  std::string text = port.device;
  if (!identity.device.empty() && identity.device != port.device) text += " (" + identity.device + ")";
  std::string adapter = identity.maker;
  if (!identity.product.empty()) adapter += (adapter.empty() ? "" : " ") + identity.product;
  if (!adapter.empty()) {
    text += " \u2014 " + adapter;
    if (!identity.serialNumber.empty()) text += ", Seriennummer " + identity.serialNumber;
  }
  for (const std::string& link : identity.byId)
    if (link != port.device) text += "\n" + link;
  return text;
}
