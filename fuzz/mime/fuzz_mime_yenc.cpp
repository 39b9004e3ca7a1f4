// Fuzz target: the yEnc decoder and its header lines. The input's lines go to the line
// parsers and the decoder as the conversion hands them over; the decoder must count every
// byte it produces and never produce more bytes than a line has characters.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/yenc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  foundation::YencLine begin;
  foundation::YencLine end;
  std::int64_t part_size = -1;
  foundation::YencDecoder decoder;
  std::string out;
  std::size_t produced = 0;
  while (!input.empty()) {
    const std::size_t line_end = input.find('\n');
    std::string_view line = input.substr(0, line_end);
    input.remove_prefix(line_end == std::string_view::npos ? input.size() : line_end + 1);
    if (foundation::ParseYencBegin(line, &begin) && begin.size < 0) std::abort();
    (void)foundation::ParseYencPart(line, &part_size);
    if (foundation::ParseYencEnd(line, &end)) {
      (void)decoder.Matches(begin, part_size, end);
      continue;
    }
    out.clear();
    decoder.Line(line, &out);
    produced += out.size();
    if (out.size() > line.size()) std::abort();
  }
  if (static_cast<std::size_t>(decoder.size()) != produced) std::abort();
  return 0;
}
