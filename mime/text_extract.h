// text_extract.h - writing the readable text of a parsed mail into a scan job.
//
// showBody walks a tree built by IMAPBODY_openfile and writes the chosen text parts of the
// raw file into the job's body file (0.bdy): plain and enriched text decoded line by line,
// each HTML part into a file of its own beside the body file, registered in the job header
// 0.hdf as an attachment and announced in the body file by a notice line.
//
// Ownership: the tree stays the caller's; files are opened and closed inside each call.
// No lock is taken: one job directory is written by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mime/body_struct.h"
#include "mime/mime_io.h"

namespace mime {

// Text kinds of a part.
inline constexpr int kTextPlain = 0;
inline constexpr int kTextHtml = 1;
inline constexpr int kTextEnriched = 2;

// The line buffer of the text writer: a line is returned in pieces of at most this many
// characters (its line end may follow as two more).
inline constexpr std::size_t kTextLineChars = 4998;
// Paths and notice names are cut at this length.
inline constexpr std::size_t kMaxPathChars = 260;

inline constexpr std::string_view kOriginalMessageSeparator =
    "\r\n-------- Original Message--------\r\n";

// Reads lines of a source file for the text writer, from a given offset. A line ends at a
// line feed; the line end is returned as CR LF whether the file had CR LF or a bare line
// feed, as the body file's lines are CR LF. A carriage return without a line feed stays in
// the line as an ordinary character.
class TextLineReader {
 public:
  // buffer_bytes other than the default serve tests that read a few bytes at a time.
  explicit TextLineReader(SourceFile* file, std::size_t buffer_bytes = kBufferBytes)
      : file_(file),
        buffer_bytes_(buffer_bytes == 0 ? 1 : buffer_bytes),
        buffer_(new char[buffer_bytes_]) {}
  // Positions at offset; false if the file cannot be positioned there.
  [[nodiscard]] bool Start(std::int64_t offset);
  // The next line into line_r; false at end of file. consumed_r gets the bytes read.
  [[nodiscard]] bool Next(std::string* line_r, std::int64_t* consumed_r);

 private:
  static constexpr std::size_t kBufferBytes = 65536;
  SourceFile* file_;
  std::size_t buffer_bytes_;
  std::unique_ptr<char[]> buffer_;
  std::size_t count_ = 0;
  std::size_t position_ = 0;
};

// Writes the chosen text parts of record and its descendants. first is 1 until a text part
// was written (later ones are preceded by the separator); done stops further alternatives.
// 0, or -1 on failure (logged).
[[nodiscard]] int showBody(const std::string& body_path, const std::string& source_path,
                           const MimeBody* record, int& first, int& done);

// Writes one text part of kind text_kind. 0, or -1 on failure (logged).
[[nodiscard]] int IMAPBODY_RESPONSE_TEXT(const std::string& body_path,
                                         const std::string& source_path, const MimeBody* part,
                                         int first, int text_kind);

// Renames an HTML part file to the .ATT suffix and registers it in the job's 0.hdf.
// 0, or -1 on failure (logged).
[[nodiscard]] int AddHTMLHeader(const std::string& html_path);

// Appends text to the file at path, creating it. 1 on success, 0 on failure (logged).
[[nodiscard]] int SendBuf(const std::string& path, std::string_view text);

// The text kind of a part from its subtype; other subtypes take fallback_kind.
[[nodiscard]] int TextKindOf(const MimeBody& part, int fallback_kind);

}  // namespace mime
