// body_struct.h - the body-structure tree of a captured mail.
//
// IMAPBODY_openfile reads a raw RFC 822/MIME file (the 0.bdx of a scan job) once, forward,
// and returns a tree of MimeBody records: one for the message and one for every part, with
// the part's Content-* headers, its parameters and the offsets, sizes and line counts of its
// header and body inside the file. The text writer (text_extract.h) seeks straight to a
// part's body with these numbers instead of parsing again.
//
// Ownership: the caller owns the root returned by IMAPBODY_openfile and releases it with
// ReleaseMimeBody; every record owns its strings, parameter lists, embedded message and
// child parts. The parser keeps no state between calls and takes no lock; a tree may be
// read by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/mime_io.h"

namespace mime {

// Nesting deeper than this (multiparts and embedded messages together) is not followed: the
// deeper part keeps the delimiter of its parent and its lines count as plain body lines.
// Real mail nests a handful of levels; thousands of levels are an attack on the parser,
// whose recursion would otherwise exhaust the stack.
inline constexpr int kMaxNestingDepth = 64;
// Parts beyond this number in one message are not split off either; the text from there to
// the end of the multipart is kept as the overflow of the last part (below). Each record
// costs memory, and a mail of tiny parts must not cost memory in proportion to its size.
inline constexpr int kMaxPartCount = 10000;
// A folded header field is kept up to this many bytes. The limit keeps a megabyte header
// line from costing a megabyte; the interesting fields (Content-Type with its parameters)
// are far shorter. Past it, the rest of the parameter that crossed it is dropped, and each
// parameter after that is kept up to kMaxParameterAfterCut bytes (a charset or boundary
// after a huge name still counts), up to twice the field limit in all.
inline constexpr std::size_t kMaxHeaderFieldBytes = 65536;
inline constexpr std::size_t kMaxParameterAfterCut = 1024;
// Lines are read in pieces of at most this many characters; a longer line is several lines.
inline constexpr std::size_t kMaxParserLine = 1999;
// Boundaries longer than this are cut; RFC 2046 allows 70 characters.
inline constexpr std::size_t kMaxBoundary = 1000;
// The read-ahead buffer of the parser.
inline constexpr std::size_t kReaderBufferBytes = 32768;
// The placeholder boundary the top level is parsed with.
inline constexpr std::string_view kTopBoundary = "Asdf";

// One attribute=value parameter of Content-Type or Content-Disposition. A segment without
// '=' gives a parameter whose attribute and value are both empty.
struct MimeParam {
  std::string attribute;
  std::string value;
};

struct MimeBody;

// The child parts of a multipart, in order of appearance.
class MimePartList {
 public:
  void Append(std::unique_ptr<MimeBody> record);
  // The i-th record, or null when i is negative or not below Count().
  [[nodiscard]] MimeBody* Get(std::int32_t i) const;
  [[nodiscard]] std::int32_t Count() const { return static_cast<std::int32_t>(records_.size()); }
  // Frees the list itself; the records go with it since the list owns them.
  void Clear() { records_.clear(); }

 private:
  std::vector<std::unique_ptr<MimeBody>> records_;
};

// One message or part. Empty strings stand for headers that were not present.
struct MimeBody {
  std::string type;         // media type before the '/' ("text", "multipart", ...)
  std::string subtype;      // media subtype after the '/' ("plain", "html", ...)
  std::vector<MimeParam> params;  // Content-Type parameters in order
  std::string id;           // Content-ID between '<' and '>'
  std::string description;  // Content-Description as written after the colon
  std::string encoding;     // Content-Transfer-Encoding as written (trimmed when used)
  std::string md5;          // Content-MD5 as written
  std::string disposition;  // Content-Disposition type
  std::vector<MimeParam> disposition_params;
  std::int64_t header_offset = 0;  // file offset where the header starts
  std::int64_t header_bytes = 0;   // header size without the blank line that ends it
  std::int64_t header_fields = 0;  // logical header fields (continuations joined)
  std::int64_t header_lines = 0;   // physical header lines
  std::int64_t body_offset = 0;    // first byte after the blank line
  std::int64_t body_bytes = 0;     // body size up to where the part ends
  // Body lines; after the line-count pass it includes the lines of all nested parts.
  std::int64_t body_lines = 0;
  std::int32_t header_done = 0;  // 1 once the blank line ending the header was read
  std::int32_t part_count = 0;   // entries in parts, plus 1 for an embedded message
  std::unique_ptr<MimeBody> message;  // the embedded message of a message/rfc822 part
  std::unique_ptr<MimePartList> parts;  // children of a multipart, null when none

  // Set by the parser, not by the headers: true for a part whose nesting went past
  // kMaxNestingDepth (or that came after kMaxPartCount parts), so its structure was not
  // followed.
  bool too_deep = false;
  // Text past the parser's limits that this part stands for: the body of a part too deep
  // to follow, or the parts after the kMaxPartCount-th, kept with the last part before
  // them. The text writer writes it as plain lines so that the engine still scans it.
  std::int64_t overflow_offset = 0;
  std::int64_t overflow_bytes = 0;
  std::int64_t overflow_lines = 0;
};

// Read-ahead buffer over a source file, used only by the parser.
class BodyReader {
 public:
  // buffer_bytes other than the default serve tests that feed the parser a few bytes at a
  // time.
  explicit BodyReader(SourceFile* file, std::size_t buffer_bytes = kReaderBufferBytes);
  // Next byte, or -1 at end of file or on a read error.
  [[nodiscard]] int GetChar();
  // Next byte without consuming it, or -1.
  [[nodiscard]] int PeekChar();
  // Reads one line: the bytes up to a line feed, the line feed removed, at most max_chars
  // characters; a longer line is returned in pieces. Returns the number of bytes consumed
  // (line feed included), 0 at end of file.
  [[nodiscard]] std::int64_t ReadLine(std::string* line_r, std::size_t max_chars);
  // Moves relative to the current position; a target outside the buffered window discards
  // the buffer.
  [[nodiscard]] bool SeekRelative(std::int64_t delta);
  [[nodiscard]] std::int64_t Tell() const { return buffer_offset_ + position_; }

 private:
  [[nodiscard]] bool Refill();

  SourceFile* file_;
  std::size_t buffer_bytes_;
  std::unique_ptr<char[]> buffer_;
  std::int64_t buffer_offset_ = 0;  // file offset of buffer_[0]
  std::int64_t count_ = 0;          // bytes buffered
  std::int64_t position_ = 0;       // read position inside the buffer
};

// Parses the file at path. Null when the path is empty, the file cannot be opened or the
// top level cannot be parsed; the reason is logged.
[[nodiscard]] std::unique_ptr<MimeBody> IMAPBODY_openfile(
    const std::string& path, std::size_t reader_buffer_bytes = kReaderBufferBytes);

// Parses the message at the reader's position as the top level, with boundary as the
// placeholder boundary (kTopBoundary). state is shared by a multipart and its children while
// they are parsed: 1 while a child is being read, 2 after a close delimiter, 0 otherwise.
// source_name names the mail in the warning about text past the parser's limits. Null on
// failure (logged).
[[nodiscard]] std::unique_ptr<MimeBody> IMAP_FileBodyStruct(BodyReader& reader,
                                                            std::string_view boundary, int& state,
                                                            std::string_view source_name = {});

// Interprets one logical header line into record. 0, or -1 on failure.
[[nodiscard]] int IMAPBODY_FillBodyStruct(MimeBody& record, std::string_view line);

// 0 when line is a Content-Type naming message/rfc822, 1 otherwise, -1 on failure (logged);
// a part whose Content-Type cannot be tested fails, and with it its parents.
[[nodiscard]] int IMAPBODY_TestRFC(std::string_view line);

// Parses a ';'-separated parameter string into list (appended). 0, or -1 on failure (logged).
[[nodiscard]] int IMAPBODY_parse_param(std::vector<MimeParam>& list, std::string_view text);

// Fills one parameter from "attribute=value". 0, or -1 on failure (logged).
[[nodiscard]] int IMAPBODY_write_param(MimeParam& node, std::string_view segment);

// The text between the first open and the next close character of source; a source
// without the open character is copied whole. Empty on failure (logged).
[[nodiscard]] std::string copyformatedvalue(std::string_view source, char open, char close);

// Line-count pass: adds the lines of nested parts to the body_lines of container records
// and returns the record's total line count.
std::int64_t IMAPBODY_FindBody(MimeBody& record);

// Frees a tree and nulls the pointer.
void ReleaseMimeBody(std::unique_ptr<MimeBody>& record);

// Line count of a record: header_done + header_lines + body_lines, or body_lines alone.
[[nodiscard]] std::int64_t MimeLineCount(const MimeBody& record, bool body_only);

// Text helpers shared with the text writer.
[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);
// Removes leading blanks and tabs and trailing blanks, tabs and carriage returns.
[[nodiscard]] std::string_view TrimHeader(std::string_view text);

}  // namespace mime
