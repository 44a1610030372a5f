#include "PortNames.h"

#include "ComPort.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

#include <sys/stat.h>

namespace {

// The tty names that are serial ports, in the order they become "Com1" to
// "Com6": the machine's own UARTs first (the PC's 8250s, then those of ARM
// boards: a Raspberry Pi's PL011, i.MX, Samsung, OMAP, Amlogic, Qualcomm,
// Tegra, Zynq, STM32, Marvell, Freescale LPUART), then USB serial adapters,
// then USB boards and modems.
struct Family {
  const char* prefix;
  int rank;
};
constexpr std::array<Family, 14> kFamilies{{
    {"ttyS", 0},
    {"ttyAMA", 0},
    {"ttymxc", 0},
    {"ttySAC", 0},
    {"ttyO", 0},
    {"ttyAML", 0},
    {"ttyMSM", 0},
    {"ttyTHS", 0},
    {"ttyPS", 0},
    {"ttySTM", 0},
    {"ttyMV", 0},
    {"ttyLP", 0},
    {"ttyUSB", 1},
    {"ttyACM", 2},
}};

struct Kind {
  int rank = -1;  // -1: not a serial port
  std::size_t family = 0;
  long number = 0;
};

// Rank, family and number of a tty name such as "ttyUSB2". Prefixes overlap
// ("ttyS", "ttySAC"): the one followed by digits alone is the family.
Kind Classify(const std::string& tty) {
  for (std::size_t family = 0; family < kFamilies.size(); ++family) {
    const std::string prefix = kFamilies[family].prefix;
    if (tty.compare(0, prefix.size(), prefix) != 0 || tty.size() == prefix.size()) continue;
    const std::string digits = tty.substr(prefix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
      continue;
    return {kFamilies[family].rank, family, std::stol(digits)};
  }
  return {};
}

// The kernel creates every ttyS node the 8250 driver was built for, with or
// without a chip behind it; only those whose UART type is known are ports.
bool HasUart(const std::filesystem::path& ttyEntry) {
  std::ifstream type(ttyEntry / "type");
  int uart = 0;
  return type >> uart && uart != 0;
}

// The first line of a sysfs attribute, or "" where there is none.
std::string Attribute(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Calls `visit` for each entry of `folder`; a folder that is missing or
// changes meanwhile ends the walk instead of throwing.
template <class Visit>
void ForEachEntry(const std::filesystem::path& folder, Visit visit) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    visit(*it);
}

}  // namespace

std::string ComPortVariable(const std::string& name) {
  const int number = PortNumber(name);
  return number > 0 ? "LICHTSTEUERUNG_COM" + std::to_string(number) : std::string();
}

std::string ComPortDevice(const std::string& name) {
  const int number = PortNumber(name);
  if (number <= 0) return {};
  if (const char* mapped = std::getenv(ComPortVariable(name).c_str())) return mapped;
  const std::vector<std::string> ports = SerialPorts();
  return static_cast<std::size_t>(number) <= ports.size() ? ports[number - 1] : std::string();
}

std::vector<std::string> SerialPorts(const std::string& ttyClass) {
  std::vector<std::tuple<int, std::size_t, long, std::string>> found;
  ForEachEntry(ttyClass, [&](const std::filesystem::directory_entry& entry) {
    const std::string tty = entry.path().filename().string();
    const Kind kind = Classify(tty);
    // Only the 8250 driver makes nodes for chips that are not there.
    if (kind.rank < 0 || (kind.family == 0 && !HasUart(entry.path()))) return;
    found.emplace_back(kind.rank, kind.family, kind.number, "/dev/" + tty);
  });
  std::sort(found.begin(), found.end());
  std::vector<std::string> ports;
  ports.reserve(found.size());
  for (auto& port : found) ports.push_back(std::move(std::get<3>(port)));
  return ports;
}

PortIdentity IdentifyPort(const std::string& path, const std::string& ttyClass,
                          const std::string& byIdFolder) {
  namespace fs = std::filesystem;
  std::error_code error;
  PortIdentity identity;
  fs::path device = fs::weakly_canonical(path, error);
  if (error) device = path;
  identity.device = device.string();

  ForEachEntry(byIdFolder, [&](const fs::directory_entry& link) {
    std::error_code linkError;
    if (fs::canonical(link.path(), linkError) == device && !linkError)
      identity.byId.push_back(link.path().string());
  });
  std::sort(identity.byId.begin(), identity.byId.end());

  // /sys/class/tty/ttyUSB0/device is the adapter's port; the USB device
  // that names maker and serial number sits a few folders above it (above
  // the interface), and is the first with an idVendor.
  fs::path folder = fs::canonical(fs::path(ttyClass) / device.filename() / "device", error);
  for (int up = 0; !error && up < 4 && !folder.empty() && folder != folder.root_path();
       ++up, folder = folder.parent_path()) {
    if (!fs::exists(folder / "idVendor", error)) continue;
    identity.maker = Attribute(folder / "manufacturer");
    identity.product = Attribute(folder / "product");
    identity.serialNumber = Attribute(folder / "serial");
    break;
  }
  return identity;
}

PortFacts LookUpPort(const char* name, const std::string& device) {
  PortFacts port;
  port.device = device;
  port.variable = ComPortVariable(name);
  const char* mapped = std::getenv(port.variable.c_str());
  port.variableEmpty = mapped && *mapped == '\0';
  struct stat status = {};
  if (!device.empty() && ::stat(device.c_str(), &status) == 0) {
    port.node = S_ISREG(status.st_mode)    ? NodeKind::File
                : S_ISDIR(status.st_mode)  ? NodeKind::Directory
                : S_ISFIFO(status.st_mode) ? NodeKind::Fifo
                : S_ISSOCK(status.st_mode) ? NodeKind::Socket
                : S_ISBLK(status.st_mode)  ? NodeKind::BlockDevice
                                           : NodeKind::Other;
  }
  if (!device.empty()) port.identity = IdentifyPort(device);
  return port;
}

PortFacts LookUpPort(const char* name) { return LookUpPort(name, ComPortDevice(name)); }
