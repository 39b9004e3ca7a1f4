// text_extract.cpp - writing the readable text of a parsed mail (see text_extract.h).
#include "mime/text_extract.h"

#include <algorithm>
#include <cstring>

#include "foundation/file_ops.h"
#include "mime/decoders.h"

namespace mime {
namespace {

// Output of one part is gathered and appended in pieces of this size instead of opening
// the target once per line; a large text part then costs a few appends, not thousands.
constexpr std::size_t kFlushBytes = 65536;

constexpr std::string_view kHtmlNoticeNote =
    "[Vantrel puts the text of a mail into an attachment like this one when it has detected "
    "and cleaned a virus in the mail.]\r\n";

std::size_t LastSeparator(std::string_view path) {
  std::size_t slash = path.rfind(kPathSep);
  std::size_t back = path.rfind(kSpoolSep);
  if (slash == std::string_view::npos) return back;
  if (back == std::string_view::npos) return slash;
  return slash > back ? slash : back;
}

bool IsUtf7(const MimeBody& part) {
  for (const MimeParam& param : part.params) {
    if (EqualsNoCase(param.attribute, "charset") && EqualsNoCase(param.value, "utf-7")) {
      return true;
    }
  }
  return false;
}

std::string_view TrimAll(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' ||
                           text.front() == '\r' || text.front() == '\n')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// The attachment test: a line of an attached text part that begins with the part's own
// file name (its name line, as some mailers write it) is left out.
bool IsNameLine(const MimeBody& part, std::string_view line) {
  if (!EqualsNoCase(part.disposition, "attachment")) return false;
  std::string_view copy = line.substr(0, kMaxPathChars);
  while (!copy.empty() && (copy.front() == ' ' || copy.front() == '\t' || copy.front() == '\r' ||
                           copy.front() == '\n')) {
    copy.remove_prefix(1);
  }
  for (const MimeParam& param : part.disposition_params) {
    if (!EqualsNoCase(TrimAll(param.attribute), "filename")) continue;
    std::string_view name = TrimAll(param.value);
    if (copy.size() >= name.size() && EqualsNoCase(copy.substr(0, name.size()), name)) {
      return true;
    }
  }
  return false;
}

// Gathers the lines of one target file and appends them with SendBuf.
struct PendingOutput {
  std::string path;
  std::string text;
  bool failed = false;

  void Flush() {
    if (!text.empty() && !failed && SendBuf(path, text) == 0) failed = true;
    text.clear();
  }
  void Add(std::string_view line) {
    text.append(line);
    if (text.size() >= kFlushBytes) Flush();
  }
};

// Writes the text past the parser's limits that record stands for (see MimeBody), as plain
// lines after whatever the record itself wrote, so that the engine still scans it.
int WriteOverflow(const std::string& body_path, const std::string& source_path,
                  const MimeBody& record, int& first) {
  if (record.overflow_bytes <= 0) return 0;
  MimeBody plain;
  plain.type = "text";
  plain.subtype = "plain";
  plain.body_offset = record.overflow_offset;
  plain.body_bytes = record.overflow_bytes;
  plain.body_lines = record.overflow_lines;
  if (IMAPBODY_RESPONSE_TEXT(body_path, source_path, &plain, first, kTextPlain) != 0) {
    Log(kLogAlways, "Error: IMAPBODY_RESPONSE_TEXT return != 0");
    return -1;
  }
  first = 0;
  return 0;
}

}  // namespace

bool TextLineReader::Start(std::int64_t offset) {
  count_ = 0;
  position_ = 0;
  return file_->Seek(offset);
}

bool TextLineReader::Next(std::string* line_r, std::int64_t* consumed_r) {
  line_r->clear();
  *consumed_r = 0;
  while (line_r->size() < kTextLineChars) {
    if (position_ >= count_) {
      std::int64_t n = file_->Read(buffer_.get(), static_cast<std::int64_t>(buffer_bytes_));
      if (n <= 0) return *consumed_r > 0;
      count_ = static_cast<std::size_t>(n);
      position_ = 0;
    }
    const char* start = buffer_.get() + position_;
    std::size_t scan = count_ - position_;
    std::size_t wanted = kTextLineChars - line_r->size();
    if (scan > wanted) scan = wanted;
    const void* newline = std::memchr(start, '\n', scan);
    if (newline != nullptr) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      line_r->append(start, length);
      position_ += length + 1;
      *consumed_r += static_cast<std::int64_t>(length + 1);
      if (line_r->empty() || line_r->back() != '\r') line_r->push_back('\r');
      line_r->push_back('\n');
      return true;
    }
    line_r->append(start, scan);
    position_ += scan;
    *consumed_r += static_cast<std::int64_t>(scan);
  }
  return true;
}

int TextKindOf(const MimeBody& part, int fallback_kind) {
  if (EqualsNoCase(part.subtype, "plain")) return kTextPlain;
  if (EqualsNoCase(part.subtype, "html")) return kTextHtml;
  if (EqualsNoCase(part.subtype, "enriched")) return kTextEnriched;
  return fallback_kind;
}

int SendBuf(const std::string& path, std::string_view text) {
  try {
    Log(kLogDebug2, "OutputFile = %s", path.c_str());
    std::string error;
    if (!AppendToFile(path, text, &error)) {
      Log(kLogAlways, "Error in WriteFile");
      Log(kLogAlways, "%s", error.c_str());
      return 0;
    }
    return 1;
  } catch (...) {
    Log(kLogAlways, "Error in SendBuf");
  }
  return 0;
}

int AddHTMLHeader(const std::string& html_path) {
  if (html_path.empty()) {
    Log(kLogAlways, "Error: AddHTMLHeader input paratmer NULL");
    return -1;
  }
  std::size_t separator = LastSeparator(html_path);
  std::size_t dot = html_path.rfind('.');
  std::string new_path = html_path;
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator)) {
    new_path = html_path.substr(0, dot + 1) + "ATT";
  }
  if (new_path != html_path && !foundation::MoveFileWithRetry(html_path, new_path)) return -1;

  std::size_t name_start = LastSeparator(new_path);
  std::string file_name =
      name_start == std::string::npos ? new_path : new_path.substr(name_start + 1);
  if (file_name.empty()) {
    Log(kLogAlways, "ERROR!!! AddHTMLHeader unable to get OutputFileName");
    return -1;
  }
  std::size_t name_dot = file_name.rfind('.');
  if (name_dot == std::string::npos) {
    Log(kLogAlways, "ERROR!!! AddHTMLHeader unable to get OutputFileName 2");
    return -1;
  }
  std::string display_name = file_name.substr(0, name_dot + 1) + "html";

  if (name_start == std::string::npos) {
    Log(kLogAlways, "ERROR!!! AddHTMLHeader unable to get dirname");
    return -1;
  }
  std::string dir = new_path.substr(0, name_start);
  std::size_t dir_start = LastSeparator(dir);
  std::string job_name = dir_start == std::string::npos ? dir : dir.substr(dir_start + 1);
  std::string header_path = dir + kPathSep + "0.hdf";
  std::string line = "Attachment: " + job_name + kSpoolSep + file_name + "," + display_name + "\r\n";
  std::string error;
  // Shared, as every writer of the job header opens it.
  if (!AppendToFile(header_path, line, &error, true)) {
    Log(kLogAlways, "%s", error.c_str());
    Log(kLogAlways, "ERROR!!! AddHTMLHeader %s file not found File  Reason is above",
        header_path.c_str());
    Log(kLogAlways,
        "ERROR!!! %s AddHTMLHeader()...Writing Attachment Entry. Error description is mentioned "
        "above",
        header_path.c_str());
    return -1;
  }
  return 0;
}

int IMAPBODY_RESPONSE_TEXT(const std::string& body_path, const std::string& source_path,
                           const MimeBody* part, int first, int text_kind) {
  if (body_path.empty() || source_path.empty() || part == nullptr) {
    Log(kLogAlways, "ERROR: IMAPBODY_RESPONSE_TEXT Input may be NULL");
    return -1;
  }
  SourceFile source;
  try {
    PendingOutput output;
    // The caller's path is used whole: a path cut short would name another file.
    output.path = body_path;
    if (text_kind == kTextHtml) {
      std::size_t separator = LastSeparator(body_path);
      if (separator == std::string::npos) {
        Log(kLogAlways, "Error in IMAPBODY_RESPNSE_TEXT \\ not found");
        return -1;
      }
      std::string error;
      output.path = CreateUniqueFile(body_path.substr(0, separator), "vntl", &error);
      if (output.path.empty()) {
        Log(kLogAlways, "%s", error.c_str());
        return -1;
      }
    }
    std::string error;
    if (!source.Open(source_path, &error)) {
      Log(kLogAlways, "%s", error.c_str());
      return -1;
    }
    TextLineReader reader(&source);
    if (!reader.Start(part->body_offset)) {
      Log(kLogAlways, "Error in IMAPBODY_RESPONSE_TEXT catch block");
      return -1;
    }
    const std::string_view encoding = TrimAll(part->encoding);
    const bool utf7 = IsUtf7(*part);
    bool first_line = true;
    bool stop_writing = false;
    bool last_suppressed = false;
    std::string line;
    std::string decoded;
    std::int64_t lines_read = 0;
    std::int64_t bytes_read = 0;
    std::int64_t consumed = 0;
    Base64LineDecoder base64;
    QuotedPrintableLineDecoder quoted_printable;
    // A piece without a line end is part of a line longer than the reader's buffer: the
    // decoders carry what it leaves unfinished into the next piece, and no line break is
    // added in the middle of the line.
    bool line_open = false;
    auto write_piece = [&](bool continues) {
      if (text_kind == kTextEnriched) {
        EnrichedToPlainLine(line, &decoded);
        line.swap(decoded);
      }
      if (!encoding.empty()) {
        bool transformed = true;
        if (EqualsNoCase(encoding, "base64")) {
          base64.Feed(line, continues, &decoded);
        } else if (EqualsNoCase(encoding, "quoted-printable")) {
          bool hard_end = false;
          bool soft_break = quoted_printable.Feed(line, continues, &decoded, &hard_end);
          if (continues) {
            // The line has not ended yet.
          } else if (text_kind == kTextPlain) {
            if (!soft_break) decoded += "\r\n";
          } else if (hard_end && !soft_break) {
            decoded += '\n';
          }
        } else if (EqualsNoCase(encoding, "x-uue")) {
          decoded.clear();
          if (text_kind == kTextPlain && !continues) decoded = "\r\n";
        } else {
          transformed = false;
        }
        if (transformed) {
          std::size_t nul = decoded.find('\0');
          if (nul != std::string::npos) decoded.resize(nul);
          line.swap(decoded);
        }
      }
      if (utf7) {
        Utf7ToCodePage(line, &decoded);
        line.swap(decoded);
      }
      if (IsNameLine(*part, line)) {
        last_suppressed = true;
        if (text_kind == kTextHtml) {
          output.text.clear();
          std::string ignored;
          (void)RemoveFile(output.path, &ignored);
        }
        return;
      }
      last_suppressed = false;
      if (first_line) {
        first_line = false;
        if (first == 0 && SendBuf(body_path, kOriginalMessageSeparator) == 0) stop_writing = true;
        if (text_kind == kTextHtml) {
          std::size_t separator = LastSeparator(output.path);
          std::string notice_name = separator == std::string::npos
                                        ? output.path
                                        : output.path.substr(separator + 1);
          std::size_t dot = notice_name.rfind('.');
          if (dot == std::string::npos) {
            Log(kLogAlways, "Error in IMAPBODY_RESPNSE_TEXT \".\" not found");
            stop_writing = true;
            return;
          }
          notice_name = notice_name.substr(0, dot) + ".HTML";
          notice_name.resize(std::min(notice_name.size(), kMaxPathChars));
          std::string notice = "The Contents of this email are present in the attachment " +
                               notice_name + " below\r\n";
          notice += kHtmlNoticeNote;
          if (SendBuf(body_path, notice) == 0) stop_writing = true;
        }
      }
      if (!stop_writing) output.Add(line);
    };
    // The part ends after its line count or its byte count, whichever comes first: a line
    // longer than the parser's line pieces counts as several lines there.
    while (lines_read < part->body_lines && bytes_read < part->body_bytes &&
           reader.Next(&line, &consumed)) {
      ++lines_read;
      bytes_read += consumed;
      line_open = line.empty() || line.back() != '\n';
      if (stop_writing) continue;
      write_piece(line_open);
    }
    if (line_open && !stop_writing) {
      // The part ended inside a long line: what the decoders still hold is written now.
      line.clear();
      write_piece(false);
    }
    output.Flush();
    source.Close();
    if (text_kind == kTextHtml && !last_suppressed) (void)AddHTMLHeader(output.path);
    return 0;
  } catch (...) {
    source.Close();
    Log(kLogAlways, "Error in IMAPBODY_RESPONSE_TEXT catch block");
  }
  return -1;
}

int showBody(const std::string& body_path, const std::string& source_path,
             const MimeBody* record, int& first, int& done) {
  if (body_path.empty() || source_path.empty() || record == nullptr) {
    Log(kLogAlways, "Error: showBody Input is NULL");
    return -1;
  }
  try {
    if (record->message) {
      if (showBody(body_path, source_path, record->message.get(), first, done) != 0) {
        Log(kLogAlways, "Error: Function showBody return != 0");
        return -1;
      }
    } else if (record->parts) {
      bool text_written = false;
      int last_kind = kTextPlain;
      for (std::int32_t i = 0; i < record->parts->Count(); ++i) {
        const MimeBody* child = record->parts->Get(i);
        if (child->parts) {
          for (std::int32_t k = 0; k < child->parts->Count(); ++k) {
            if (showBody(body_path, source_path, child->parts->Get(k), first, done) != 0) {
              Log(kLogAlways, "Error: Function showBody return != 0");
              return -1;
            }
          }
        }
        if (!child->type.empty() && !child->subtype.empty() && EqualsNoCase(child->type, "text") &&
            (!text_written || !child->disposition.empty())) {
          int kind = TextKindOf(*child, last_kind);
          if (IMAPBODY_RESPONSE_TEXT(body_path, source_path, child, first, kind) != 0) {
            Log(kLogAlways, "Error: IMAPBODY_RESPONSE_TEXT return != 0");
            return -1;
          }
          first = 0;
          text_written = true;
          last_kind = kind;
        }
        if (EqualsNoCase(child->type, "message") && EqualsNoCase(child->subtype, "rfc822")) {
          done = 0;
          if (showBody(body_path, source_path, child, first, done) != 0) {
            Log(kLogAlways, "Error: Function showBody 2 return != 0");
            return -1;
          }
        } else if (WriteOverflow(body_path, source_path, *child, first) != 0) {
          return -1;
        }
      }
    }
    if (!record->type.empty() && !record->subtype.empty() && EqualsNoCase(record->type, "text") &&
        done == 0) {
      if (IMAPBODY_RESPONSE_TEXT(body_path, source_path, record, first,
                                 TextKindOf(*record, kTextPlain)) != 0) {
        Log(kLogAlways, "Error: IMAPBODY_RESPONSE_TEXT return != 0");
        return -1;
      }
      first = 0;
      done = 1;
    }
    if (WriteOverflow(body_path, source_path, *record, first) != 0) return -1;
    return 0;
  } catch (...) {
    Log(kLogAlways, "Error in showBody function");
  }
  return -1;
}

}  // namespace mime
