#include "LightDecoder.h"

#include <cstdio>

namespace {

bool IsChannelByte(std::uint8_t byte) { return IsChannel(static_cast<char>(byte)); }

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

}  // namespace

std::vector<LightDecoder::Event> LightDecoder::Feed(const std::uint8_t* bytes, std::size_t size) {
  std::vector<Event> events;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = bytes[i];
    if (pending_ == 0) {
      if (IsChannelByte(byte)) {
        pending_ = static_cast<char>(byte);
      } else {
        events.push_back({Event::ProtocolError, 0, false, byte,
                          "Protokollfehler: " + Hex(byte) + " ist kein Kanalbuchstabe (a bis l)"});
      }
      continue;
    }
    const char channel = pending_;
    pending_ = 0;
    if (byte == '0' || byte == '1') {
      const bool on = byte == '1';
      lit_[static_cast<std::size_t>(channel - 'a')] = on;
      events.push_back({Event::Command, channel, on, byte,
                        std::string{channel, static_cast<char>(byte)} + "  " + ChannelName(channel) +
                            (on ? " an" : " aus")});
      continue;
    }
    events.push_back({Event::ProtocolError, channel, false, byte,
                      "Protokollfehler: " + Hex(byte) + " nach '" + channel + "' ist weder '0' noch '1'"});
    // Resynchronise on the offending byte if it starts a command itself.
    if (IsChannelByte(byte)) pending_ = static_cast<char>(byte);
  }
  return events;
}
