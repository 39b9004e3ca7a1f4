// mime_parts.h - what a MIME part's headers say about it, and its transfer encodings.
//
// What it is for
//   Storing a MIME mail as the server does means telling a part whose content goes into an
//   attachment object from one whose text stays in the Body items, and decoding that content
//   from its transfer encoding on the way in (mail_import) and encoding it again on the way
//   out (mail_export). Both halves share the rules here, so what import takes apart, export
//   puts back the same way.
//
// Ownership and threads
//   Values only; no shared state.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/notes/mail_import.h"

namespace mime_parts {

// What the headers of one part (or of the message itself) say.
struct PartInfo {
  std::string type = "text/plain";  // lower case, parameters removed
  std::string boundary;             // of a multipart, as written
  std::string file_name;            // Content-Disposition filename, else Content-Type name
  std::string encoding;             // Content-Transfer-Encoding, lower case ("" = 7bit)
};
[[nodiscard]] PartInfo ReadPartInfo(const mail_import::MailHeaders& headers);

enum class PartKind {
  kText,        // its text stays in the Body items
  kMultipart,   // a container: its parts follow, separated by its boundary
  kMessage,     // message/rfc822: an enclosed message, its header section follows
  kAttachment,  // its content goes into a $FILE object
};
// A part with a file name, or whose type is not text, multipart or message, is an
// attachment; a multipart without a boundary and an encoded message are read as text.
[[nodiscard]] PartKind Classify(const PartInfo& info);

// The value of a hexadecimal digit, or of a base64 character; -1 for any other character.
[[nodiscard]] int HexDigitValue(char c);
[[nodiscard]] int Base64DigitValue(char c);

// The value of the parameter `name` of a structured header value ("type; a=b; name=c"),
// quotes removed, RFC 2231 (name*=charset''text) and RFC 2047 encoded words decoded; empty
// when absent.
[[nodiscard]] std::string ParamValue(std::string_view value, std::string_view name);

// A file name that is safe to hand to the file system: the last path component, without
// control characters; empty when nothing usable is left.
[[nodiscard]] std::string SafeFileName(std::string_view name);

// Decodes a part's content line by line. Each physical line is given as its content and,
// separately, its line end; a line end is only given once the next line is known to be
// content too (the one before a boundary belongs to the boundary).
class ContentDecoder {
 public:
  explicit ContentDecoder(std::string_view encoding);
  void Content(std::string_view bytes, std::string* out);
  void LineEnd(std::string_view end, std::string* out);
  // True when blank lines carry no content (base64): those at the end of a part are then
  // transport, and stay with the text that follows.
  [[nodiscard]] bool IgnoresBlankLines() const { return kind_ == Kind::kBase64; }

 private:
  enum class Kind { kIdentity, kBase64, kQuotedPrintable } kind_;
  std::uint32_t bits_ = 0;
  int bit_count_ = 0;
  bool base64_done_ = false;
  bool soft_break_ = false;
};

// Encodes content again in the part's transfer encoding: base64 in lines of 76, quoted-
// printable in lines of at most 76 with its line ends written as line_end, anything else
// as it is. The output never ends with a line end of its own.
class ContentEncoder {
 public:
  ContentEncoder(std::string_view encoding, std::string line_end);
  void Feed(std::string_view bytes, std::string* out);
  void Finish(std::string* out);

 private:
  enum class Kind { kIdentity, kBase64, kQuotedPrintable } kind_;
  std::string line_end_;
  std::string carry_;  // base64: bytes not yet a whole group; quoted-printable: the line
  std::size_t column_ = 0;  // base64: characters on the current line
  bool started_ = false;    // quoted-printable: a line was written
  void QpLine(std::string_view line, std::string* out);
};

}  // namespace mime_parts
