// libFuzzer target for the board's protocol decoder. Beyond not crashing,
// the decoder must not depend on how the line splits the stream: fed in one
// piece or byte by byte, it ends in the same state with the same events. And
// the panel's strict reading of a text (ParseCommands) must take exactly the
// texts the decoder reads as commands alone, with no letter left over.
#include "LightDecoder.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LightDecoder whole;
  LightDecoder pieces;
  const auto all = whole.Feed(data, size);
  std::size_t events = 0;
  for (std::size_t i = 0; i < size; ++i) {
    for (const auto& event : pieces.Feed(data + i, 1)) {
      if (events >= all.size() || all[events].kind != event.kind || all[events].text != event.text)
        std::abort();
      ++events;
    }
  }
  if (events != all.size() || all.size() > size) std::abort();
  for (char channel = 'a'; channel <= 'l'; ++channel)
    if (whole.IsOn(channel) != pieces.IsOn(channel)) std::abort();
  const auto commands = ParseCommands(std::string(reinterpret_cast<const char*>(data), size));
  const bool onlyCommands =
      size % 2 == 0 && std::all_of(all.begin(), all.end(), [](const LightDecoder::Event& event) {
        return event.kind == LightDecoder::Event::Command;
      });
  if (commands.has_value() != onlyCommands || (commands && commands->size() != all.size())) std::abort();
  return 0;
}
