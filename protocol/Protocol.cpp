#include "Protocol.h"

const char* ChannelName(char channel) {
  static const char* const names[kChannels] = {
      "Abblendlicht",   "Standlicht",     "Fernlicht",         "Rückfahrlicht",
      "Blinker links",  "Blinker rechts", "Nebelscheinwerfer", "Nebelschlussleuchte",
      "Innenraumlicht", "Parklicht",      "Abblendautomatik",  "Fernlichtautomatik"};
  return IsChannel(channel) ? names[channel - 'a'] : "?";
}

std::optional<std::vector<LightCommand>> ParseCommands(const std::string& text) {
  std::vector<LightCommand> commands;
  for (std::size_t at = 0; at < text.size(); at += 2) {
    if (!IsChannel(text[at]) || at + 1 == text.size() || (text[at + 1] != '0' && text[at + 1] != '1'))
      return std::nullopt;
    commands.push_back({text[at], text[at + 1] == '1'});
  }
  return commands;
}
