// Fuzz target: one line through the qp decoder of the text writer, whole and in two pieces
// cut where the first byte says (as the line reader cuts a line longer than its buffer).
// The pieces must decode exactly as the whole line does.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mime/decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The line reader never hands a decoder more than a line buffer and its line end.
  if (size < 1 || size > 5001) return 0;
  std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string out;
  bool hard_end = false;
  const bool soft = mime::DecodeQuotedPrintableLine(line, &out, &hard_end);
  if (out.size() > mime::kDecodeBufferBytes) std::abort();
  // The reader cuts only a line that goes on: never after its line feed.
  std::size_t cut = data[0] * line.size() / 255;
  cut = std::min(cut, line.find('\n'));
  mime::QuotedPrintableLineDecoder decoder;
  std::string first;
  std::string second;
  bool piece_hard_end = false;
  if (decoder.Feed(line.substr(0, cut), true, &first, &piece_hard_end) || piece_hard_end) {
    std::abort();
  }
  const bool piece_soft = decoder.Feed(line.substr(cut), false, &second, &piece_hard_end);
  if (first + second != out || piece_soft != soft || piece_hard_end != hard_end) std::abort();
  return 0;
}
