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

// text/enriched (RFC 1896) of one line to plain text, into out_r (replaced).
void EnrichedToPlainLine(std::string_view line, std::string* out_r);

// UTF-7 (RFC 2152) of one line into the system code page, which on this platform is UTF-8:
// the output is UTF-8 text, at most kDecodeBufferBytes bytes, cut at a whole character.
// Invalid sequences (bad shifts, lone surrogates, bytes above 127) are left out.
void Utf7ToCodePage(std::string_view line, std::string* out_r);

}  // namespace mime
