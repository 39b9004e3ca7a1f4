// Fuzz target: one line through the base64 decoder of the text writer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mime/decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The line reader never hands a decoder more than a line buffer and its line end.
  if (size > 5000) return 0;
  std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string out;
  mime::DecodeBase64Line(line, &out);
  if (out.size() > mime::kDecodeBufferBytes) std::abort();
  return 0;
}
