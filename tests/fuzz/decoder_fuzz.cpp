// libFuzzer target for the board's protocol decoder. Beyond not crashing,
// the decoder must not depend on how the line splits the stream: fed in one
// piece or byte by byte, it ends in the same state with the same events.
#include "LightDecoder.h"

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
  return 0;
}
