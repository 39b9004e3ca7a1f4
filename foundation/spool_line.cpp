// spool_line.cpp - see spool_line.h.
#include "foundation/spool_line.h"

namespace foundation {

std::string OneLineValue(std::string_view value) {
  std::string line(value);
  for (char& c : line) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = ' ';
  }
  return line;
}

}  // namespace foundation
