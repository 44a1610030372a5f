#include "LightTable.h"

#include "Protocol.h"

std::string DescribeCommands(const std::string& text) {
  const auto commands = ParseCommands(text);
  if (!commands) return {};
  std::string said;
  for (const LightCommand& command : *commands)
    said += (said.empty() ? "" : ", ") + std::string(ChannelName(command.channel)) +
            (command.on ? " an" : " aus");
  return said;
}
