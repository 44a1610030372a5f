#include "PortNumber.h"

int PortNumber(const std::string& name) {
  if (name.size() != 4 || name.compare(0, 3, "Com") != 0 || name[3] < '1' || name[3] > '9') return 0;
  return name[3] - '0';
}
