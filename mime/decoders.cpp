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
  Base64LineDecoder decoder;
  decoder.Feed(line, false, out_r);
}

void Base64LineDecoder::Feed(std::string_view piece, bool continues, std::string* out_r) {
  out_r->clear();
  std::size_t i = 0;
  if (!started_) {
    while (i < piece.size() && IsBlank(piece[i])) ++i;
    started_ = i < piece.size();
  }
  std::string kept = carry_;
  kept.reserve(carry_.size() + piece.size());
  for (; i < piece.size() && !ended_; ++i) {
    char c = piece[i];
    if (c == '\r' || c == '\n') {
      ended_ = true;
    } else if (c == '=') {
      if (!padding_ || kept_total_ % 4 != 0) {
        kept.push_back(c);
        ++kept_total_;
      }
      padding_ = true;
    } else if (kBase64Table[static_cast<unsigned char>(c)] >= 0) {
      if (padding_) {
        unclean_ = true;
      } else {
        kept.push_back(c);
        ++kept_total_;
      }
    } else {
      unclean_ = true;
    }
  }
  // A line that is still going on decodes its whole groups now and holds the rest back. At
  // the end of the line an unclean remainder that is no whole group gives nothing.
  std::size_t whole = kept.size() - kept.size() % 4;
  if (continues) {
    carry_.assign(kept, whole, std::string::npos);
  } else {
    if (unclean_ && (kept_total_ == 0 || kept_total_ % 4 != 0)) whole = 0;
    *this = Base64LineDecoder();
  }
  for (std::size_t group = 0; group + 4 <= whole; group += 4) {
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
  QuotedPrintableLineDecoder decoder;
  return decoder.Feed(line, false, out_r, hard_end_r);
}

void QuotedPrintableLineDecoder::Reset() { *this = QuotedPrintableLineDecoder(); }

bool QuotedPrintableLineDecoder::Feed(std::string_view piece, bool continues, std::string* out_r,
                                      bool* hard_end_r) {
  out_r->clear();
  *hard_end_r = false;
  // What a piece may add beyond its own length: the white space and the "=" with its
  // digit held back from the piece before.
  const std::size_t bound = kDecodeBufferBytes + 2 * kMaxPendingWhiteSpace + 2;
  auto put = [&](std::string_view text) {
    if (out_r->size() < bound) out_r->append(text.substr(0, bound - out_r->size()));
  };
  auto flush_pending = [&] {
    put(pending_);
    pending_.clear();
  };
  auto hold = [](std::string* blanks, char c) {
    if (blanks->size() < kMaxPendingWhiteSpace) blanks->push_back(c);
  };
  if (ended_) {
    // The rest of a line whose end was already decoded.
    const bool soft = soft_break_;
    if (!continues) Reset();
    return soft && !continues;
  }
  std::size_t i = 0;
  while (i < piece.size()) {
    const char c = piece[i];
    switch (state_) {
      case State::kText:
        if (c == '\r') {
          // Carriage returns are dropped; the line feed decides.
        } else if (c == '\n') {
          *hard_end_r = true;
          Reset();
          return false;  // the rest of a line after its line feed is not part of it
        } else if (IsBlank(c)) {
          hold(&pending_, c);
        } else if (c == '=') {
          state_ = State::kEquals;
        } else {
          flush_pending();
          put(std::string_view(&c, 1));
        }
        ++i;
        continue;
      case State::kEquals:
        if (IsBlank(c)) {
          hold(&after_equals_, c);
          state_ = State::kEqualsBlank;
          ++i;
          continue;
        }
        if (c == '\r' || c == '\n') break;  // soft line break
        if (HexValue(c) >= 0) {
          digit_ = c;
          state_ = State::kEqualsDigit;
          ++i;
          continue;
        }
        // A stray '=' is kept as it stands, as RFC 2045 advises; c is read again as text.
        flush_pending();
        put("=");
        state_ = State::kText;
        continue;
      case State::kEqualsDigit: {
        flush_pending();
        if (HexValue(c) >= 0) {
          const char byte = static_cast<char>(HexValue(digit_) * 16 + HexValue(c));
          put(std::string_view(&byte, 1));
          ++i;
        } else {
          const char stray[2] = {'=', digit_};
          put(std::string_view(stray, 2));
        }
        state_ = State::kText;
        continue;
      }
      case State::kEqualsBlank:
        if (IsBlank(c)) {
          hold(&after_equals_, c);
          ++i;
          continue;
        }
        if (c == '\r' || c == '\n') break;  // soft line break with trailing blanks
        flush_pending();
        put("=");
        pending_.swap(after_equals_);
        after_equals_.clear();
        state_ = State::kText;
        continue;
    }
    // A soft line break: the white space before the "=" stays, the line goes on.
    flush_pending();
    const bool more = continues;
    Reset();
    if (more) {
      ended_ = true;
      soft_break_ = true;
      return false;
    }
    return true;
  }
  if (continues) return false;
  // The end of the line without a line feed.
  bool soft = false;
  if (state_ == State::kEquals || state_ == State::kEqualsBlank) {
    flush_pending();
    soft = true;
  } else if (state_ == State::kEqualsDigit) {
    flush_pending();
    const char stray[2] = {'=', digit_};
    put(std::string_view(stray, 2));
  }
  Reset();
  return soft;
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
