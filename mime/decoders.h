// decoders.h - line decoders of the text writer.
//
// Each decoder works on one line as the text writer's line reader returns it and appends
// its result to an output string, never more than kDecodeBufferBytes bytes per line. The
// decoders keep no state between lines (the base64 reverse table is a constant), so they
// are safe to call from any number of threads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mime {

// Bound of one decoded line; a line of the text writer holds at most 4998 characters, so
// no decoder can legitimately produce more than this.
inline constexpr std::size_t kDecodeBufferBytes = 5000;
// Quoted-printable white space held back while it may still turn out to be trailing.
inline constexpr std::size_t kMaxPendingWhiteSpace = 100;
// Characters of an enriched-text command name that are looked at.
inline constexpr std::size_t kMaxEnrichedCommand = 61;

// Base64 (RFC 2045) of one line into out_r (replaced). A line with characters outside the
// alphabet whose remaining length is not a whole number of groups yields nothing.
void DecodeBase64Line(std::string_view line, std::string* out_r);

// Quoted-printable (RFC 2045) of one line into out_r (replaced); the line end of the input
// is not copied. Returns true when the line ended in a soft line break ("=" at the end),
// i.e. the next line continues this one; hard_end_r tells whether the input had a line end.
bool DecodeQuotedPrintableLine(std::string_view line, std::string* out_r, bool* hard_end_r);

// The text writer reads a line longer than its buffer in pieces, and neither a base64 group
// nor a quoted-printable escape respects those cuts. These decoders take a line piece by
// piece: what a piece leaves unfinished (an incomplete group, "=" and one digit, white
// space that may turn out to be trailing) is held for the next piece, so the pieces decode
// exactly as the whole line would. One decoder serves one line at a time; it is ready for
// the next line once a piece with continues == false was fed.

class Base64LineDecoder {
 public:
  // Decodes the next piece into out_r (replaced). continues: more of this line follows.
  void Feed(std::string_view piece, bool continues, std::string* out_r);

 private:
  std::string carry_;           // kept characters of a group not yet complete (0 to 3)
  std::size_t kept_total_ = 0;  // characters kept so far on this line
  bool started_ = false;        // leading blanks are behind us
  bool padding_ = false;        // an "=" was seen
  bool unclean_ = false;        // a character outside the alphabet was dropped
  bool ended_ = false;          // a CR or LF ended the data of this line
};

class QuotedPrintableLineDecoder {
 public:
  // Decodes the next piece into out_r (replaced), as DecodeQuotedPrintableLine does for a
  // whole line. While continues is true the result is false and hard_end_r false: the line
  // has not ended yet.
  bool Feed(std::string_view piece, bool continues, std::string* out_r, bool* hard_end_r);

 private:
  enum class State { kText, kEquals, kEqualsDigit, kEqualsBlank };
  void Reset();

  State state_ = State::kText;
  std::string pending_;       // white space written only if more text follows
  std::string after_equals_;  // blanks after an "=" that may be a soft line break
  char digit_ = 0;            // the first hexadecimal digit after an "="
  bool ended_ = false;        // the line's end was decoded; the rest of it is ignored
  bool soft_break_ = false;   // ...and it was a soft line break
};

// text/enriched (RFC 1896) of one line to plain text, into out_r (replaced).
void EnrichedToPlainLine(std::string_view line, std::string* out_r);

// UTF-7 (RFC 2152) of one line into the system code page, which on this platform is UTF-8:
// the output is UTF-8 text, at most kDecodeBufferBytes bytes, cut at a whole character.
// Invalid sequences (bad shifts, lone surrogates, bytes above 127) are left out.
void Utf7ToCodePage(std::string_view line, std::string* out_r);

}  // namespace mime
