// yenc.h - decoding yEnc blocks ("=ybegin" line, data lines, "=yend" line) of a mail's text.
//
// What it is for: a file yEnc-encoded into a text body is decoded by the mail clients that
// know the format; the conversion of a scan job's text (uuencode.h) turns each such block
// into an attachment of its own, so that the engine scans the file, not its encoding.
//
// A block is taken as a file only when it is whole: its "=yend" line is there and the size
// and CRC-32 it gives (of the part, for one part of a multi-part file) match what was
// decoded. Anything else is not a yEnc file and stays text.
//
// Ownership: plain values. Thread rules: a decoder belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace foundation {

// The keywords of a "=ybegin" (or "=yend") line that the conversion uses; -1 where absent.
struct YencLine {
  std::string name;          // "=ybegin": the rest of the line after "name="
  std::int64_t size = -1;    // size=
  std::int64_t part = -1;    // part=
  std::int64_t crc32 = -1;   // "=yend": crc32=
  std::int64_t pcrc32 = -1;  // "=yend": pcrc32=, the CRC of this part
};

// Whether line is a "=ybegin" line with a size and a name; begin_r gets its keywords.
[[nodiscard]] bool ParseYencBegin(std::string_view line, YencLine* begin_r);

// Whether line is a "=yend" line; end_r gets its keywords.
[[nodiscard]] bool ParseYencEnd(std::string_view line, YencLine* end_r);

// Whether line is a "=ypart" line (it follows "=ybegin" in a multi-part file);
// expected_r gets the part's size from its begin= and end= keywords (-1 without them).
[[nodiscard]] bool ParseYencPart(std::string_view line, std::int64_t* expected_r);

// Decodes data lines, keeping the size and CRC-32 of what it produced.
class YencDecoder {
 public:
  // Appends the bytes of one data line (without its line end) to out.
  void Line(std::string_view line, std::string* out);
  // Whether what was decoded is the part the "=yend" line describes: its size (and the
  // "=ypart" size, when given), and its CRC when the line gives one.
  [[nodiscard]] bool Matches(const YencLine& begin, std::int64_t part_size,
                             const YencLine& end) const;
  [[nodiscard]] std::int64_t size() const { return size_; }

 private:
  std::uint32_t crc_ = 0xFFFFFFFFu;
  std::int64_t size_ = 0;
  bool escaped_ = false;  // an escape character ended the last line (no encoder does that)
};

}  // namespace foundation
