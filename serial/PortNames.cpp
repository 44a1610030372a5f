#include "PortNames.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

constexpr std::array<const char*, 3> kFamilies{"ttyS", "ttyUSB", "ttyACM"};

// The 1-based port number of "Com<n>", or 0 for any other name.
int PortNumber(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "Com") != 0) return 0;
  if (!std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); })) return 0;
  if (name.size() > 6) return 0;  // far beyond any port; keeps stoi in range
  return std::stoi(name.substr(3));
}

// Family rank and number of a tty name such as "ttyUSB2"; rank -1 for others.
std::pair<int, long> Classify(const std::string& tty) {
  for (int rank = 0; rank < static_cast<int>(kFamilies.size()); ++rank) {
    const std::string prefix = kFamilies[rank];
    if (tty.compare(0, prefix.size(), prefix) != 0 || tty.size() == prefix.size()) continue;
    const std::string digits = tty.substr(prefix.size());
    if (digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
      return {-1, 0};
    return {rank, std::stol(digits)};
  }
  return {-1, 0};
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
  std::vector<std::tuple<int, long, std::string>> found;
  ForEachEntry(ttyClass, [&](const std::filesystem::directory_entry& entry) {
    const std::string tty = entry.path().filename().string();
    const auto [rank, number] = Classify(tty);
    if (rank < 0 || (rank == 0 && !HasUart(entry.path()))) return;
    found.emplace_back(rank, number, "/dev/" + tty);
  });
  std::sort(found.begin(), found.end());
  std::vector<std::string> ports;
  ports.reserve(found.size());
  for (auto& port : found) ports.push_back(std::move(std::get<2>(port)));
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

std::string DescribePort(const std::string& path, const PortIdentity& identity) {
  std::string text = path;
  if (!identity.device.empty() && identity.device != path) text += " (" + identity.device + ")";
  std::string adapter = identity.maker;
  if (!identity.product.empty()) adapter += (adapter.empty() ? "" : " ") + identity.product;
  if (!adapter.empty()) {
    text += " \u2014 " + adapter;
    if (!identity.serialNumber.empty()) text += ", Seriennummer " + identity.serialNumber;
  }
  for (const std::string& link : identity.byId)
    if (link != path) text += "\n" + link;
  return text;
}
