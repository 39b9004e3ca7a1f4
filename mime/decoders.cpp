// decoders.cpp - line decoders of the text writer (see decoders.h).
#include "mime/decoders.h"

#include <array>
#include <cstdint>

namespace mime {
namespace {

constexpr std::array<std::int8_t, 256> MakeBase64Table() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}

// The reverse table, built once at compile time.
constexpr std::array<std::int8_t, 256> kBase64Table = MakeBase64Table();

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void AppendBounded(std::string* out, std::string_view text) {
  if (out->size() >= kDecodeBufferBytes) return;
  out->append(text.substr(0, kDecodeBufferBytes - out->size()));
}

void AppendBounded(std::string* out, char c) {
  if (out->size() < kDecodeBufferBytes) out->push_back(c);
}

// Appends one code point as UTF-8 unless that would pass the output bound.
void AppendUtf8(std::string* out, std::uint32_t code_point) {
  char bytes[4];
  std::size_t length;
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    length = 1;
  } else if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 2;
  } else if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 3;
  } else {
    bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    length = 4;
  }
  if (out->size() + length <= kDecodeBufferBytes) out->append(bytes, length);
}

// Turns UTF-16 units into code points; lone surrogates are dropped.
struct Utf16Sink {
  std::string* out;
  std::uint32_t high = 0;  // pending high surrogate, 0 when none

  void Put(std::uint32_t unit) {
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      high = unit;
      return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (high != 0) AppendUtf8(out, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      high = 0;
      return;
    }
    high = 0;
    AppendUtf8(out, unit);
  }
};

}  // namespace

void DecodeBase64Line(std::string_view line, std::string* out_r) {
  out_r->clear();
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  char kept[kDecodeBufferBytes * 2];
  std::size_t count = 0;
  bool unclean = false;
  bool padding = false;
  for (; i < line.size() && line[i] != '\r' && line[i] != '\n'; ++i) {
    char c = line[i];
    if (count >= sizeof kept) break;
    if (c == '=') {
      if (!padding || count % 4 != 0) kept[count++] = c;
      padding = true;
    } else if (kBase64Table[static_cast<unsigned char>(c)] >= 0) {
      if (padding) {
        unclean = true;
      } else {
        kept[count++] = c;
      }
    } else {
      unclean = true;
    }
  }
  if (unclean && (count == 0 || count % 4 != 0)) return;
  for (std::size_t group = 0; group + 4 <= count; group += 4) {
    std::uint32_t bits = 0;
    int pads = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      char c = kept[group + k];
      std::int8_t value = c == '=' ? 0 : kBase64Table[static_cast<unsigned char>(c)];
      if (c == '=') ++pads;
      bits = (bits << 6) | static_cast<std::uint32_t>(value);
    }
    // One byte fewer for every '=' of the group; a group of padding alone gives nothing.
    char bytes[3] = {static_cast<char>(bits >> 16), static_cast<char>(bits >> 8),
                     static_cast<char>(bits)};
    int length = pads >= 3 ? 0 : 3 - pads;
    AppendBounded(out_r, std::string_view(bytes, static_cast<std::size_t>(length)));
  }
}

bool DecodeQuotedPrintableLine(std::string_view line, std::string* out_r, bool* hard_end_r) {
  out_r->clear();
  *hard_end_r = false;
  std::string pending;  // white space that is written only if more text follows
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\r') continue;
    if (c == '\n') {
      *hard_end_r = true;
      return false;  // the rest of a line after its line feed is not part of it
    }
    if (IsBlank(c)) {
      if (pending.size() < kMaxPendingWhiteSpace) pending.push_back(c);
      continue;
    }
    if (c == '=') {
      std::size_t j = i + 1;
      while (j < line.size() && IsBlank(line[j])) ++j;
      if (j == line.size() || line[j] == '\r' || line[j] == '\n') {
        AppendBounded(out_r, pending);
        return true;  // soft line break
      }
      if (i + 2 < line.size() && HexValue(line[i + 1]) >= 0 && HexValue(line[i + 2]) >= 0) {
        AppendBounded(out_r, pending);
        pending.clear();
        AppendBounded(out_r, static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2])));
        i += 2;
        continue;
      }
      // A stray '=' is kept as it stands, as RFC 2045 advises.
    }
    AppendBounded(out_r, pending);
    pending.clear();
    AppendBounded(out_r, c);
  }
  return false;
}

void EnrichedToPlainLine(std::string_view line, std::string* out_r) {
  out_r->clear();
  if (line.empty()) return;
  int param_depth = 0;
  int nofill_depth = 0;
  std::size_t newlines = 0;  // line feeds held back outside no-fill
  auto put = [&](char c) {
    if (param_depth > 0) return;
    if (c == '\n' && nofill_depth == 0) {
      ++newlines;
      return;
    }
    if (newlines > 0) {
      // One line feed between text is a blank; n of them keep n - 1.
      if (newlines == 1) {
        AppendBounded(out_r, ' ');
      } else {
        for (std::size_t k = 1; k < newlines; ++k) AppendBounded(out_r, '\n');
      }
      newlines = 0;
    }
    AppendBounded(out_r, c);
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c != '<') {
      put(c);
      continue;
    }
    if (i + 1 < line.size() && line[i + 1] == '<') {
      put('<');
      ++i;
      continue;
    }
    std::string name;
    std::size_t j = i + 1;
    for (; j < line.size() && line[j] != '>'; ++j) {
      if (name.size() < kMaxEnrichedCommand) {
        char lower = line[j];
        if (lower >= 'A' && lower <= 'Z') lower = static_cast<char>(lower + 32);
        name.push_back(lower);
      }
    }
    i = j;  // at the '>' or the end of the line
    if (name == "param") {
      ++param_depth;
    } else if (name == "/param") {
      if (param_depth > 0) --param_depth;
    } else if (name == "nofill") {
      ++nofill_depth;
    } else if (name == "/nofill") {
      if (nofill_depth > 0) --nofill_depth;
    }
  }
  if (nofill_depth == 0 && newlines > 1) {
    for (std::size_t k = 1; k < newlines; ++k) AppendBounded(out_r, '\n');
  }
  if (!out_r->empty() && out_r->back() == '\r') AppendBounded(out_r, '\n');
}

void Utf7ToCodePage(std::string_view line, std::string* out_r) {
  out_r->clear();
  Utf16Sink sink{out_r};
  std::size_t i = 0;
  while (i < line.size()) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c != '+') {
      if (c < 0x80) sink.Put(c);
      ++i;
      continue;
    }
    ++i;
    if (i < line.size() && line[i] == '-') {
      sink.Put('+');
      ++i;
      continue;
    }
    // A shifted run: modified base64, 16 bits per UTF-16 unit; leftover bits are dropped.
    std::uint32_t bits = 0;
    int bit_count = 0;
    while (i < line.size() && kBase64Table[static_cast<unsigned char>(line[i])] >= 0) {
      bits = (bits << 6) | static_cast<std::uint32_t>(kBase64Table[static_cast<unsigned char>(line[i])]);
      bit_count += 6;
      if (bit_count >= 16) {
        bit_count -= 16;
        sink.Put((bits >> bit_count) & 0xFFFF);
      }
      bits &= (1u << bit_count) - 1;
      ++i;
    }
    if (i < line.size() && line[i] == '-') ++i;  // the explicit end of the run is absorbed
  }
}

}  // namespace mime
