// Fuzz target: the BinHex 4.0 decoder over the lines after a start line. Once it has
// finished or given up it produces nothing more, and a finished block never holds more
// fork bytes than its header announced.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/binhex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  foundation::BinHexDecoder decoder;
  std::string data_fork;
  std::string resource_fork;
  while (!input.empty()) {
    const std::size_t line_end = input.find('\n');
    std::string_view line = input.substr(0, line_end);
    input.remove_prefix(line_end == std::string_view::npos ? input.size() : line_end + 1);
    const auto before = decoder.state();
    const std::size_t had = data_fork.size() + resource_fork.size();
    const auto after = decoder.Line(line, &data_fork, &resource_fork);
    const bool ended = before == foundation::BinHexDecoder::State::kDone ||
                       before == foundation::BinHexDecoder::State::kBroken;
    if (ended && (after != before || data_fork.size() + resource_fork.size() != had))
      std::abort();
  }
  if (decoder.state() == foundation::BinHexDecoder::State::kDone &&
      resource_fork.size() != decoder.resource_length())
    std::abort();
  return 0;
}
