// Fuzz target: one line through the base64 decoder of the text writer, whole and in two
// pieces cut where the first byte says (as the line reader cuts a line longer than its
// buffer). Where the whole line decodes to something, the pieces must give exactly that.
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
  mime::DecodeBase64Line(line, &out);
  if (out.size() > mime::kDecodeBufferBytes) std::abort();
  // The reader cuts only a line that goes on: never after its line feed.
  std::size_t cut = data[0] * line.size() / 255;
  cut = std::min(cut, line.find('\n'));
  mime::Base64LineDecoder decoder;
  std::string first;
  std::string second;
  decoder.Feed(line.substr(0, cut), true, &first);
  decoder.Feed(line.substr(cut), false, &second);
  // An unclean line that is no whole number of groups gives nothing whole; its first piece
  // may already have been written.
  if (!out.empty() && first + second != out) std::abort();
  return 0;
}
