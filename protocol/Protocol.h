#pragma once

#include <optional>
#include <string>
#include <vector>

// The light protocol between the panel and the board: a stream of two-byte
// commands, a channel letter 'a' to 'l' followed by '0' (off) or '1' (on),
// with nothing between them.

inline constexpr int kChannels = 12;

constexpr bool IsChannel(char letter) { return letter >= 'a' && letter < 'a' + kChannels; }

// The German name of a channel's light; "?" for a letter that is no channel.
const char* ChannelName(char channel);

// One command: a channel and the state it is switched to.
struct LightCommand {
  char channel;
  bool on;

  bool operator==(const LightCommand& other) const { return channel == other.channel && on == other.on; }
};

// The commands `text` consists of, in order; nothing when any of it is not
// a whole command (a stray byte, a letter without its digit).
std::optional<std::vector<LightCommand>> ParseCommands(const std::string& text);
