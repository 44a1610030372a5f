#pragma once

#include "Protocol.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The board's side of the light protocol (Protocol.h), read as a stream:
// bytes that do not fit are reported and skipped; the decoder never stops.
class LightDecoder {
 public:
  struct Event {
    enum Kind : std::uint8_t { Command, ProtocolError } kind;
    char channel;       // 'a'..'l' for a command (and for an error after a letter)
    bool on;            // the new state, for a command
    std::uint8_t byte;  // the offending byte, for an error
    std::string text;   // what the log shows
  };

  // Decodes `size` bytes and returns what they did, in order.
  std::vector<Event> Feed(const std::uint8_t* bytes, std::size_t size);

  bool IsOn(char channel) const { return lit_.at(static_cast<std::size_t>(channel - 'a')); }

 private:
  std::array<bool, kChannels> lit_{};
  char pending_ = 0;  // a channel letter waiting for its state digit
};
