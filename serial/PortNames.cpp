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
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ttyClass, error)) {
    const std::string tty = entry.path().filename().string();
    const auto [rank, number] = Classify(tty);
    if (rank < 0) continue;
    if (rank == 0 && !HasUart(entry.path())) continue;
    found.emplace_back(rank, number, "/dev/" + tty);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> ports;
  ports.reserve(found.size());
  for (auto& port : found) ports.push_back(std::move(std::get<2>(port)));
  return ports;
}
