#include "PortMessages.h"

#include "Boxes.h"

#include <windows.h>

namespace {

// "COM9" with the device's name where Windows has one: "USB Serial Port (COM9)".
std::string Named(const NamedPort& port) {
  std::string com = "COM" + std::to_string(port.number);
  if (port.friendlyName.empty()) return com;
  return port.friendlyName.find(com) != std::string::npos ? port.friendlyName
                                                          : com + " (" + port.friendlyName + ")";
}

// Where the panel cannot reach the user's adapter, because Windows gave it a
// number above 6: which ports those are, and how to give one a number the
// panel offers. Empty when Windows has none above 6.
std::string RenumberHint(const PortFacts& port) {
  std::string above;
  for (const NamedPort& other : port.above) above += (above.empty() ? "" : ", ") + Named(other);
  if (above.empty()) return {};
  return "Windows kennt diese seriellen Anschlüsse über COM6: " + above +
         ". Dieses Programm erreicht nur COM1 bis COM6. So bekommt ein Anschluss eine Nummer von 1 bis 6: "
         "im Geräte-Manager unter „Anschlüsse (COM & LPT)“ den Anschluss doppelklicken, dann "
         "„Anschlusseinstellungen“, „Erweitert…“ und unter „COM-Anschlussnummer“ eine freie Nummer "
         "von COM1 bis COM6 wählen.";
}

}  // namespace

std::string OpenFailureDetail(const char* name, const OpenAttempt& attempt) {
  const std::string& friendly = attempt.port.friendlyName;
  const std::string where = std::string(name) + (friendly.empty() ? "" : " (" + friendly + ")");
  std::string reason;
  switch (attempt.error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: {
      reason = "Diesen Anschluss gibt es auf diesem Rechner nicht.";
      const std::string hint = RenumberHint(attempt.port);
      if (!hint.empty()) reason += "\n\n" + hint;
      break;
    }
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      reason =
          "Der Anschluss wird schon benutzt, von einem anderen Programm oder einem zweiten Fenster "
          "dieses Programms.";
      break;
    default:
      reason = SysErrorMessage(attempt.error);
  }
  return "\n\n" + where + ": " + reason;
}

std::string PortDescription(const char* name, const PortFacts& port) {
  if (!port.friendlyName.empty()) return port.friendlyName;
  if (port.listed)
    return std::string(name) + ": serieller Anschluss " + port.device + ", zu dem Windows kein Gerät nennt";
  const std::string hint = RenumberHint(port);
  return std::string(name) + ": kein Gerät, das Windows unter diesem Namen kennt" +
         (hint.empty() ? "" : ". " + hint);
}
