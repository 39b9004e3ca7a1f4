// body_struct.cpp - the body-structure parser (see body_struct.h).
#include "mime/body_struct.h"

#include <cstring>
#include <new>

namespace mime {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Everything one parse shares between its levels.
struct ParseContext {
  BodyReader* reader;
  int* state;
  int part_budget;  // records that may still be created, see kMaxPartCount
  bool warned_depth;
  std::string_view source_name;  // names the mail in the warning
};

// Past the limits the text is still written, as plain lines; the administrator is told once
// per mail, since a mail built like this is an attack on the parser more often than not.
void WarnLimits(ParseContext& context, std::int64_t offset) {
  if (context.warned_depth) return;
  context.warned_depth = true;
  Log(kLogAlways,
      "WARNING!!! %.*s: MIME nesting deeper than %d levels or more than %d parts at offset "
      "%lld; the rest is written as plain text (likely an attack on the parser)",
      static_cast<int>(context.source_name.size()), context.source_name.data(), kMaxNestingDepth,
      kMaxPartCount, static_cast<long long>(offset));
}

// A piece that filled the reader's line length without reaching a line feed: the physical
// line goes on in the next piece.
bool IsCutPiece(const std::string& piece, std::int64_t consumed) {
  return piece.size() == kMaxParserLine && consumed == static_cast<std::int64_t>(piece.size());
}

std::string_view TrimTrailing(std::string_view text) {
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string_view TrimLeading(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// One logical header field, bounded (see kMaxHeaderFieldBytes). Past the bound the rest of
// the parameter that crossed it is dropped (a quote it left open is closed), and each later
// parameter is kept up to kMaxParameterAfterCut bytes.
class HeaderField {
 public:
  void Clear() { *this = HeaderField(); }
  const std::string& text() const { return text_; }

  void Append(std::string_view piece) {
    for (char c : piece) {
      const bool separator = c == ';' && !quoted_;
      const bool was_quoted = quoted_;
      if (c == '"') quoted_ = !quoted_;
      if (separator) {
        skipping_ = false;
        if (text_.size() < 2 * kMaxHeaderFieldBytes) {
          text_.push_back(';');
          parameter_start_ = text_.size();
        }
        continue;
      }
      if (skipping_) continue;
      if (text_.size() >= kMaxHeaderFieldBytes) cut_ = true;
      if (cut_ && (text_.size() - parameter_start_ >= kMaxParameterAfterCut ||
                   text_.size() >= 2 * kMaxHeaderFieldBytes)) {
        skipping_ = true;
        if (was_quoted) text_.push_back('"');  // a value cut inside quotes is closed
        continue;
      }
      text_.push_back(c);
    }
  }

 private:
  std::string text_;
  std::size_t parameter_start_ = 0;  // where the parameter being appended began
  bool quoted_ = false;              // inside a quoted string of the input
  bool cut_ = false;                 // the bound was reached once
  bool skipping_ = false;            // dropping the rest of a parameter
};

// The boundary parameter of a record, or empty. The search stops at the first parameter
// without an attribute, as a parameter list ends there.
std::string_view OwnBoundary(const MimeBody& record) {
  if (record.type.empty()) return {};
  for (const MimeParam& param : record.params) {
    if (param.attribute.empty()) break;
    if (EqualsNoCase(param.attribute, "boundary")) {
      std::string_view value = param.value;
      return value.substr(0, kMaxBoundary);
    }
  }
  return {};
}

void CompleteCounts(MimeBody& record, std::int64_t body_lines, std::int64_t position) {
  if (!record.header_done) {
    // No body was reached: an empty body at the end of what was read, never offset 0.
    record.body_offset = position;
  }
  record.body_bytes = position - record.body_offset;
  record.body_lines = body_lines;
  record.part_count = (record.parts ? record.parts->Count() : 0) + (record.message ? 1 : 0);
}

std::unique_ptr<MimeBody> ParsePart(ParseContext& context, std::string_view parent_boundary,
                                    bool top_level, bool skip_leading_blank, int depth) {
  BodyReader& reader = *context.reader;
  int& state = *context.state;
  auto record = std::make_unique<MimeBody>();
  record->header_offset = reader.Tell();
  const bool may_nest = depth < kMaxNestingDepth && context.part_budget > 0;

  // Header mode.
  bool is_envelope = false;
  bool seen_field = false;
  std::string line;
  HeaderField field;
  // A physical header line longer than the reader's pieces is read whole into the field:
  // its later pieces are no fields of their own.
  auto append_rest_of_line = [&](bool cut) {
    while (cut) {
      const std::int64_t consumed = reader.ReadLine(&line, kMaxParserLine);
      if (consumed == 0) return;
      cut = IsCutPiece(line, consumed);
      field.Append(cut ? std::string_view(line) : TrimTrailing(line));
    }
  };
  for (;;) {
    std::int64_t line_start = reader.Tell();
    std::int64_t consumed = reader.ReadLine(&line, kMaxParserLine);
    if (consumed == 0) {
      CompleteCounts(*record, 0, reader.Tell());
      return record;
    }
    bool cut = IsCutPiece(line, consumed);
    std::string_view trimmed = TrimHeader(line);
    if (trimmed.empty() && !cut) {
      if (!seen_field && skip_leading_blank) continue;
      record->header_done = 1;
      record->header_bytes = line_start - record->header_offset;
      record->body_offset = reader.Tell();
      break;
    }
    seen_field = true;
    field.Clear();
    // The first physical line keeps its leading characters: a field name never starts
    // with a blank, and a stray one must not turn into a Content-* match.
    field.Append(cut ? std::string_view(line) : TrimTrailing(line));
    append_rest_of_line(cut);
    std::int64_t physical = 1;
    for (;;) {
      int next = reader.PeekChar();
      if (next != ' ' && next != '\t') break;
      consumed = reader.ReadLine(&line, kMaxParserLine);
      if (consumed == 0) break;
      ++physical;
      cut = IsCutPiece(line, consumed);
      field.Append(" ");
      field.Append(cut ? TrimLeading(line) : TrimHeader(line));
      append_rest_of_line(cut);
    }
    const std::string& logical = field.text();
    record->header_fields += 1;
    record->header_lines += physical;
    if (StartsWithNoCase(logical, "Content-Type")) {
      const int rfc = IMAPBODY_TestRFC(logical);
      if (rfc < 0) return nullptr;
      if (rfc == 0) is_envelope = true;
    }
    if (IMAPBODY_FillBodyStruct(*record, logical) != 0) {
      Log(kLogAlways, is_envelope ? "Error in IMAP_FileBodyStruct in RFC"
                                  : "Error in IMAP_FileBodyStruct");
    }
  }

  std::string boundary = top_level ? std::string() : std::string(parent_boundary);
  if (!may_nest) {
    // Too deep or too many parts: this part's own structure is not followed.
    if (!OwnBoundary(*record).empty() || is_envelope) {
      record->too_deep = true;
      WarnLimits(context, record->header_offset);
    }
  } else {
    std::string_view own = OwnBoundary(*record);
    if (!own.empty()) {
      boundary.assign(own);
      state = 0;
    }
    if (is_envelope) {
      context.part_budget -= 1;
      std::string_view enclosing = top_level ? kTopBoundary : parent_boundary;
      record->message = ParsePart(context, enclosing, false, true, depth + 1);
      state = 2;
      CompleteCounts(*record, 0, reader.Tell());
      return record;
    }
  }

  // Body mode.
  std::int64_t body_lines = 0;
  int remembered = 0;
  // Once no more parts may be split off, the rest of this multipart is kept as overflow
  // text of its last part (or of this part when it has none).
  MimeBody* overflow = nullptr;
  auto complete = [&]() {
    CompleteCounts(*record, body_lines, reader.Tell());
    if (record->too_deep) {
      record->overflow_offset = record->body_offset;
      record->overflow_bytes = record->body_bytes;
      record->overflow_lines = record->body_lines;
    }
  };
  for (;;) {
    std::int64_t consumed = reader.ReadLine(&line, kMaxParserLine);
    if (consumed == 0) break;
    if (overflow != nullptr) {
      overflow->overflow_bytes += consumed;
      overflow->overflow_lines += 1;
    }
    if (!boundary.empty()) {
      std::string_view trimmed = TrimHeader(line);
      if (trimmed.size() >= boundary.size() + 2 && trimmed[0] == '-' && trimmed[1] == '-' &&
          EqualsNoCase(trimmed.substr(2, boundary.size()), boundary)) {
        std::string_view rest = trimmed.substr(2 + boundary.size());
        if (rest.empty()) {
          if (state != 0) {
            // The delimiter belongs to the enclosing multipart: hand it back.
            if (overflow != nullptr) {
              overflow->overflow_bytes -= consumed;
              overflow->overflow_lines -= 1;
            }
            if (!reader.SeekRelative(-consumed)) break;
            complete();
            state = 0;
            return record;
          }
          ++body_lines;
          if (context.part_budget <= 0 || depth >= kMaxNestingDepth) {
            if (overflow == nullptr) {
              overflow = record->parts && record->parts->Count() > 0
                             ? record->parts->Get(record->parts->Count() - 1)
                             : record.get();
              // A last part too deep to follow already holds the text up to this line.
              if (overflow->overflow_bytes == 0)
                overflow->overflow_offset = reader.Tell() - consumed;
              overflow->overflow_bytes += consumed;
              overflow->overflow_lines += 1;
              WarnLimits(context, reader.Tell() - consumed);
            }
            continue;
          }
          context.part_budget -= 1;
          state = 1;
          std::unique_ptr<MimeBody> child = ParsePart(context, boundary, false, false, depth + 1);
          if (!child) return nullptr;  // a part that cannot be read fails its parent
          remembered = state;
          state = 0;
          if (!record->parts) record->parts = std::make_unique<MimePartList>();
          record->parts->Append(std::move(child));
          continue;
        }
        if (rest == "--") {
          if (overflow != nullptr) {
            overflow->overflow_bytes -= consumed;
            overflow->overflow_lines -= 1;
          }
          if (remembered == 2) {
            ++body_lines;
          } else {
            if (!reader.SeekRelative(-consumed)) break;
            state = 2;
          }
          complete();
          return record;
        }
      }
    }
    ++body_lines;
  }
  complete();
  return record;
}

bool IsContainer(const MimeBody& record) {
  return StartsWithNoCase(record.type, "multipart") || StartsWithNoCase(record.type, "message");
}

std::int64_t NestedTotal(MimeBody& record) {
  if (record.type.empty()) return 0;
  return IsContainer(record) ? IMAPBODY_FindBody(record) : MimeLineCount(record, false);
}

}  // namespace

// --- Text helpers -------------------------------------------------------------------------

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimHeader(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// --- MimePartList ---------------------------------------------------------------------------

void MimePartList::Append(std::unique_ptr<MimeBody> record) {
  records_.push_back(std::move(record));
}

MimeBody* MimePartList::Get(std::int32_t i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return records_[static_cast<std::size_t>(i)].get();
}

// --- BodyReader ------------------------------------------------------------------------------

BodyReader::BodyReader(SourceFile* file, std::size_t buffer_bytes)
    : file_(file),
      buffer_bytes_(buffer_bytes == 0 ? 1 : buffer_bytes),
      buffer_(new char[buffer_bytes_]) {}

bool BodyReader::Refill() {
  buffer_offset_ += count_;
  count_ = 0;
  position_ = 0;
  std::int64_t n = file_->Read(buffer_.get(), static_cast<std::int64_t>(buffer_bytes_));
  if (n <= 0) return false;
  count_ = n;
  return true;
}

int BodyReader::GetChar() {
  if (position_ >= count_ && !Refill()) return -1;
  return static_cast<unsigned char>(buffer_[static_cast<std::size_t>(position_++)]);
}

int BodyReader::PeekChar() {
  if (position_ >= count_ && !Refill()) return -1;
  return static_cast<unsigned char>(buffer_[static_cast<std::size_t>(position_)]);
}

std::int64_t BodyReader::ReadLine(std::string* line_r, std::size_t max_chars) {
  line_r->clear();
  std::int64_t consumed = 0;
  while (line_r->size() < max_chars) {
    if (position_ >= count_ && !Refill()) break;
    const char* start = buffer_.get() + position_;
    std::size_t available = static_cast<std::size_t>(count_ - position_);
    std::size_t wanted = max_chars - line_r->size();
    std::size_t scan = available < wanted ? available : wanted;
    const void* newline = std::memchr(start, '\n', scan);
    if (newline != nullptr) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      line_r->append(start, length);
      position_ += static_cast<std::int64_t>(length + 1);
      return consumed + static_cast<std::int64_t>(length + 1);
    }
    line_r->append(start, scan);
    position_ += static_cast<std::int64_t>(scan);
    consumed += static_cast<std::int64_t>(scan);
  }
  return consumed;
}

bool BodyReader::SeekRelative(std::int64_t delta) {
  std::int64_t target = Tell() + delta;
  if (target < 0) return false;
  if (target >= buffer_offset_ && target <= buffer_offset_ + count_) {
    position_ = target - buffer_offset_;
    return true;
  }
  if (!file_->Seek(target)) return false;
  buffer_offset_ = target;
  count_ = 0;
  position_ = 0;
  return true;
}

// --- Header interpretation ------------------------------------------------------------------
//
// Each step catches its own failures (an exhausted heap above all), logs its fixed text and
// gives -1, so one damaged header never takes the process or the rest of the mail with it.

std::string copyformatedvalue(std::string_view source, char open, char close) try {
  std::size_t start = source.find(open);
  if (start == std::string_view::npos) return std::string(source);
  std::string_view rest = source.substr(start + 1);
  std::size_t end = rest.find(close);
  return std::string(end == std::string_view::npos ? rest : rest.substr(0, end));
} catch (const std::bad_alloc&) {
  Log(kLogAlways, "Error in Copy FomratedValue");
  return {};
} catch (...) {
  Log(kLogAlways, "Error in copyformatedvalue fun");
  return {};
}

int IMAPBODY_write_param(MimeParam& node, std::string_view segment) try {
  std::size_t equals = segment.find('=');
  if (equals == std::string_view::npos) return 0;
  std::string_view attribute = TrimHeader(segment.substr(0, equals));
  if (!attribute.empty() && attribute.front() == '"') attribute.remove_prefix(1);
  if (!attribute.empty() && attribute.back() == '"') attribute.remove_suffix(1);
  std::string_view value = TrimHeader(segment.substr(equals + 1));
  if (!value.empty() && value.front() != '"' && value.back() == '"') value.remove_suffix(1);
  try {
    node.attribute.assign(attribute);
  } catch (const std::bad_alloc&) {
    Log(kLogAlways, "Error in Unable to Allocate memory for s->attribuate");
    return -1;
  }
  try {
    node.value = copyformatedvalue(value, '"', '"');
  } catch (const std::bad_alloc&) {
    Log(kLogAlways, "Error in Unable to Allocate memory for s->value");
    return -1;
  }
  return 0;
} catch (...) {
  Log(kLogAlways, "ERROR: IMAPBODY_write_param Function error");
  return -1;
}

int IMAPBODY_parse_param(std::vector<MimeParam>& list, std::string_view text) try {
  // Iterative over the segments; each ';' outside a quoted run ends one.
  for (;;) {
    bool quoted = false;
    std::size_t end = 0;
    while (end < text.size() && (quoted || text[end] != ';')) {
      if (text[end] == '"') quoted = !quoted;
      ++end;
    }
    MimeParam node;
    if (IMAPBODY_write_param(node, text.substr(0, end)) != 0) return -1;
    list.push_back(std::move(node));
    if (end + 1 >= text.size()) return 0;
    text.remove_prefix(end + 1);
  }
} catch (const std::bad_alloc&) {
  Log(kLogAlways, "ERROR!!! Unable to Allocate Memroy for tmp in IMAPBODY_parse_param");
  return -1;
} catch (...) {
  Log(kLogAlways, "Error: IMAPBODY_parse_param fun");
  return -1;
}

int IMAPBODY_TestRFC(std::string_view line) try {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return 1;
  std::string value;
  for (char c : line.substr(colon + 1)) {
    if (c != ' ') value += c;
  }
  std::size_t slash = value.find('/');
  if (slash == std::string::npos) return 1;
  std::string_view type = std::string_view(value).substr(0, slash);
  std::string_view subtype = std::string_view(value).substr(slash + 1);
  std::size_t semicolon = subtype.find(';');
  subtype = semicolon != std::string_view::npos ? subtype.substr(0, semicolon) : TrimHeader(subtype);
  return (EqualsNoCase(type, "message") && EqualsNoCase(subtype, "rfc822")) ? 0 : 1;
} catch (...) {
  Log(kLogAlways, "Error: IMAPBODY_TestRFC fails");
  return -1;
}

int IMAPBODY_FillBodyStruct(MimeBody& record, std::string_view line) try {
  if (line.size() < 8 || Lower(line[0]) != 'c' || !StartsWithNoCase(line.substr(1), "ontent-")) {
    return 0;
  }
  std::string_view name = line.substr(8);
  std::size_t colon = line.find(':');
  std::string_view raw =
      colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);

  if (StartsWithNoCase(name, "type:")) {
    std::string_view value = TrimHeader(raw);
    std::size_t semicolon = value.find(';');
    std::string_view head = value.substr(0, semicolon);
    std::string_view tail =
        semicolon == std::string_view::npos ? std::string_view() : value.substr(semicolon + 1);
    std::size_t slash = head.find('/');
    if (slash != std::string_view::npos) {
      std::string_view subtype = TrimHeader(head.substr(slash + 1));
      if (!subtype.empty()) {
        record.type.assign(TrimHeader(head.substr(0, slash)));
        record.subtype.assign(subtype);
      }
      if (!tail.empty()) {
        record.params.clear();
        if (IMAPBODY_parse_param(record.params, tail) != 0) return -1;
      }
    } else if (!tail.empty()) {
      record.type.assign(TrimHeader(head));
      record.params.clear();
      if (IMAPBODY_parse_param(record.params, tail) != 0) return -1;
    }
  } else if (StartsWithNoCase(name, "transfer-encoding:")) {
    record.encoding.assign(raw);
  } else if (StartsWithNoCase(name, "Disposition")) {
    std::size_t semicolon = raw.find(';');
    if (semicolon != std::string_view::npos) {
      std::string_view head = TrimHeader(raw.substr(0, semicolon));
      if (!head.empty()) record.disposition.assign(head);
      std::string_view tail = raw.substr(semicolon + 1);
      if (!tail.empty()) {
        record.disposition_params.clear();
        if (IMAPBODY_parse_param(record.disposition_params, tail) != 0) return -1;
      }
    } else {
      record.disposition.clear();
      for (char c : raw) {
        if (c != ' ' && c != '\t' && c != '\r') record.disposition += c;
      }
    }
  } else if (StartsWithNoCase(name, "description:")) {
    record.description.assign(raw);
  } else if (StartsWithNoCase(name, "id:")) {
    record.id = copyformatedvalue(raw, '<', '>');
  } else if (StartsWithNoCase(name, "md5:")) {
    record.md5.assign(raw);
  }
  return 0;
} catch (const std::bad_alloc&) {
  Log(kLogAlways, "ERROR Unable to allocate memory for mytemp in IMAP_FillBodyStruct");
  return -1;
} catch (...) {
  Log(kLogAlways, "Error in IMAPBODY_FillBodyStruct");
  return -1;
}

// --- Parsing, counting, release --------------------------------------------------------------

std::unique_ptr<MimeBody> IMAP_FileBodyStruct(BodyReader& reader, std::string_view boundary,
                                              int& state, std::string_view source_name) {
  try {
    ParseContext context{&reader, &state, kMaxPartCount, false, source_name};
    return ParsePart(context, boundary, true, true, 0);
  } catch (const std::bad_alloc&) {
    Log(kLogAlways, "ERROR Unable to allocate memory for mytemp in IMAP_FillBodyStruct");
  } catch (...) {
    Log(kLogAlways, "Error in IMAPBODY_FillStruct Function");
  }
  return nullptr;
}

std::int64_t IMAPBODY_FindBody(MimeBody& record) try {
  if (!IsContainer(record)) return 0;
  std::int64_t nested = 0;
  if (record.message) nested += NestedTotal(*record.message);
  if (record.parts) {
    for (std::int32_t i = 0; i < record.parts->Count(); ++i) {
      nested += NestedTotal(*record.parts->Get(i));
    }
  }
  record.body_lines += nested;
  return record.header_done + record.header_lines + record.body_lines;
} catch (...) {
  Log(kLogAlways, "Error in IMAPBODY_FindBody");
  return 0;
}

std::int64_t MimeLineCount(const MimeBody& record, bool body_only) {
  if (body_only) return record.body_lines;
  return record.header_done + record.header_lines + record.body_lines;
}

void ReleaseMimeBody(std::unique_ptr<MimeBody>& record) { record.reset(); }

std::unique_ptr<MimeBody> IMAPBODY_openfile(const std::string& path,
                                            std::size_t reader_buffer_bytes) {
  if (path.empty()) return nullptr;
  try {
    SourceFile file;
    std::string error;
    if (!file.Open(path, &error)) {
      Log(kLogAlways, "%s", error.c_str());
      Log(kLogAlways, "Unable to Open File %s Reason is above", path.c_str());
      return nullptr;
    }
    BodyReader reader(&file, reader_buffer_bytes);
    int state = 0;
    std::unique_ptr<MimeBody> root = IMAP_FileBodyStruct(reader, kTopBoundary, state, path);
    if (root) IMAPBODY_FindBody(*root);
    return root;
  } catch (...) {
    Log(kLogAlways, "Error in IMAPBODY_openfile");
  }
  return nullptr;
}

}  // namespace mime
