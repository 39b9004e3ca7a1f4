// yenc.cpp - see yenc.h. The format is yEnc 1.3: every byte is written as (byte + 42) mod
// 256; NUL, LF, CR and "=" (and at an encoder's choice others) are written as "=" followed
// by (byte + 42 + 64) mod 256. Line ends carry no data.
#include "foundation/yenc.h"

#include <array>
#include <cstdlib>

namespace foundation {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

// The value of keyword (with its "="), read up to the next blank; -1 when absent or not a
// number of the given base.
std::int64_t NumberAfter(std::string_view line, std::string_view keyword, int base) {
  for (std::size_t at = line.find(keyword); at != std::string_view::npos;
       at = line.find(keyword, at + 1)) {
    // A keyword starts the line's text or follows a blank ("size=" is not "psize=").
    if (at > 0 && line[at - 1] != ' ') continue;
    std::string digits;
    for (std::size_t i = at + keyword.size(); i < line.size() && line[i] != ' '; ++i) {
      digits.push_back(line[i]);
    }
    // Sizes beyond what any file system holds are no sizes.
    if (digits.empty() || digits.size() > 16) return -1;
    char* end = nullptr;
    const long long value = std::strtoll(digits.c_str(), &end, base);
    if (end == nullptr || *end != '\0' || value < 0) return -1;
    return value;
  }
  return -1;
}

}  // namespace

bool ParseYencBegin(std::string_view line, YencLine* begin_r) {
  if (line.substr(0, 8) != "=ybegin ") return false;
  YencLine begin;
  // The name is the last keyword and runs to the end of the line, blanks and all.
  const std::size_t name_at = line.find(" name=");
  if (name_at == std::string_view::npos) return false;
  begin.name = std::string(line.substr(name_at + 6));
  const std::string_view keywords = line.substr(0, name_at);
  begin.size = NumberAfter(keywords, "size=", 10);
  begin.part = NumberAfter(keywords, "part=", 10);
  if (begin.size < 0 || begin.name.empty()) return false;
  *begin_r = std::move(begin);
  return true;
}

bool ParseYencEnd(std::string_view line, YencLine* end_r) {
  if (line.substr(0, 5) != "=yend" || (line.size() > 5 && line[5] != ' ')) return false;
  YencLine end;
  end.size = NumberAfter(line, "size=", 10);
  end.part = NumberAfter(line, "part=", 10);
  end.crc32 = NumberAfter(line, "crc32=", 16);
  end.pcrc32 = NumberAfter(line, "pcrc32=", 16);
  *end_r = end;
  return true;
}

bool ParseYencPart(std::string_view line, std::int64_t* expected_r) {
  if (line.substr(0, 7) != "=ypart ") return false;
  const std::int64_t first = NumberAfter(line, "begin=", 10);
  const std::int64_t last = NumberAfter(line, "end=", 10);
  *expected_r = first >= 1 && last >= first ? last - first + 1 : -1;
  return true;
}

void YencDecoder::Line(std::string_view line, std::string* out) {
  for (char c : line) {
    if (!escaped_ && c == '=') {
      escaped_ = true;
      continue;
    }
    auto byte = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c) - 42);
    if (escaped_) byte = static_cast<std::uint8_t>(byte - 64);
    escaped_ = false;
    out->push_back(static_cast<char>(byte));
    crc_ = kCrcTable[(crc_ ^ byte) & 0xFF] ^ (crc_ >> 8);
    ++size_;
  }
  // An escape never spans a line end.
  escaped_ = false;
}

bool YencDecoder::Matches(const YencLine& begin, std::int64_t part_size,
                          const YencLine& end) const {
  const auto crc = static_cast<std::int64_t>(crc_ ^ 0xFFFFFFFFu);
  if (end.size != size_) return false;
  if (begin.part >= 0) {
    // One part of a file: its own size and CRC; the whole file's size is larger.
    if (part_size >= 0 && part_size != size_) return false;
    if (end.pcrc32 >= 0 && end.pcrc32 != crc) return false;
    return size_ <= begin.size;
  }
  if (begin.size != size_) return false;
  if (end.crc32 >= 0 && end.crc32 != crc) return false;
  return end.pcrc32 < 0 || end.pcrc32 == crc;
}

}  // namespace foundation
