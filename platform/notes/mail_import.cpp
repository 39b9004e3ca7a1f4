// mail_import.cpp - RFC 822 header parsing and the mail note items it gives (see
// mail_import.h).

#include "platform/notes/mail_import.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/notes/mime_parts.h"
#include "platform/notes/notes_mail.h"

namespace mail_import {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// One physical line at `pos`: its content without the line end, and the offset after it.
struct Line {
  std::string_view content;
  size_t next = 0;
  bool has_end = false;
  bool crlf = false;
};

Line LineAt(std::string_view text, size_t pos) {
  Line line;
  size_t newline = text.find('\n', pos);
  if (newline == std::string_view::npos) {
    line.content = text.substr(pos);
    line.next = text.size();
    return line;
  }
  line.has_end = true;
  line.next = newline + 1;
  size_t end = newline;
  if (end > pos && text[end - 1] == '\r') {
    --end;
    line.crlf = true;
  }
  line.content = text.substr(pos, end - pos);
  return line;
}

// The field name of a header line ("Name: value"), or empty when the line is not one.
std::string_view FieldName(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return {};
  for (size_t i = 0; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c <= ' ' || c >= 127) return {};
  }
  return line.substr(0, colon);
}

bool IsMimeField(std::string_view name) {
  return StartsWithNoCase(name, "Content-") || EqualsNoCase(name, "MIME-Version");
}

}  // namespace

const std::string* MailHeaders::Find(std::string_view name) const {
  for (const HeaderField& field : fields) {
    if (EqualsNoCase(field.name, name)) return &field.value;
  }
  return nullptr;
}

bool ParseMailHeaders(std::string_view message, bool whole_message, MailHeaders* headers_r,
                      std::string* error_r) {
  *headers_r = MailHeaders{};
  size_t pos = 0;
  Line first = LineAt(message, 0);
  headers_r->line_end = first.crlf || !first.has_end ? "\r\n" : "\n";
  // An mbox separator line ("From sender date") is not part of the message.
  if (first.content.rfind("From ", 0) == 0 && FieldName(first.content).empty()) pos = first.next;

  const std::string too_long = "header section longer than " + std::to_string(kMaxHeaderBytes) + " bytes";
  bool in_mime_field = false;
  for (;;) {
    if (pos >= message.size()) {
      if (whole_message) break;  // a message of headers only
      if (error_r != nullptr) *error_r = too_long;
      return false;
    }
    if (pos > kMaxHeaderBytes) {
      if (error_r != nullptr) *error_r = too_long;
      return false;
    }
    Line line = LineAt(message, pos);
    if (!line.has_end && !whole_message) {
      if (error_r != nullptr) *error_r = too_long;
      return false;
    }
    if (line.content.empty()) {
      pos = line.next;
      break;
    }
    std::string_view raw = message.substr(pos, line.next - pos);
    if ((line.content[0] == ' ' || line.content[0] == '\t') && !headers_r->fields.empty()) {
      std::string& value = headers_r->fields.back().value;
      value += line.content;
      value = std::string(Trim(value));
    } else {
      std::string_view name = FieldName(line.content);
      if (name.empty()) break;  // not a header line: the body starts here, without a blank line
      HeaderField field;
      field.name = std::string(name);
      field.value = std::string(Trim(line.content.substr(name.size() + 1)));
      headers_r->fields.push_back(std::move(field));
      in_mime_field = IsMimeField(name);
    }
    if (in_mime_field) {
      headers_r->mime_header += raw;
      if (!line.has_end) headers_r->mime_header += headers_r->line_end;
    }
    pos = line.next;
  }
  headers_r->body_offset = pos;
  if (headers_r->mime_header.empty()) {
    // RFC 2045: a message without MIME headers is plain US-ASCII text; say so, so that the
    // stored MIME text reads the same to any MIME parser.
    headers_r->mime_header = "MIME-Version: 1.0" + headers_r->line_end +
                             "Content-Type: text/plain; charset=us-ascii" + headers_r->line_end;
  }
  return true;
}

std::vector<std::string> SplitAddressList(std::string_view value) {
  std::vector<std::string> entries;
  std::string current;
  bool quoted = false;
  int comment_depth = 0;
  bool angle = false;
  auto flush = [&] {
    std::string_view entry = Trim(current);
    if (!entry.empty() && entries.size() < kMaxAddresses) entries.emplace_back(entry);
    current.clear();
  };
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quoted) {
      current += c;
      if (c == '\\' && i + 1 < value.size()) {
        current += value[++i];
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (comment_depth > 0) {
      current += c;
      if (c == '\\' && i + 1 < value.size()) current += value[++i];
      else if (c == '(') ++comment_depth;
      else if (c == ')') --comment_depth;
      continue;
    }
    switch (c) {
      case '"': quoted = true; current += c; break;
      case '(': comment_depth = 1; current += c; break;
      case '<': angle = true; current += c; break;
      case '>': angle = false; current += c; break;
      case ',':
        if (angle) current += c;
        else flush();
        break;
      case ':':
        // "group: a, b;": the group name is not an address. Inside angle brackets a colon
        // belongs to a source route.
        if (angle) current += c;
        else current.clear();
        break;
      case ';':
        if (angle) current += c;
        else flush();
        break;
      default: current += c;
    }
  }
  flush();
  return entries;
}

std::string BareAddress(std::string_view entry) {
  bool quoted = false;
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '"') quoted = !quoted;
    else if (entry[i] == '\\' && quoted) ++i;
    else if (entry[i] == '<' && !quoted) {
      open = i;
      break;
    }
  }
  if (open != std::string_view::npos) {
    size_t close = entry.find('>', open);
    std::string_view inside = entry.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1);
    // A source route ("<@relay:user@host>") is not part of the address.
    if (!inside.empty() && inside[0] == '@') {
      size_t colon = inside.find(':');
      if (colon != std::string_view::npos) inside.remove_prefix(colon + 1);
    }
    return std::string(Trim(inside));
  }
  std::string bare;
  int depth = 0;
  quoted = false;
  for (char c : entry) {
    if (depth == 0 && c == '"') quoted = !quoted;
    if (!quoted && c == '(') {
      ++depth;
      continue;
    }
    if (!quoted && c == ')' && depth > 0) {
      --depth;
      continue;
    }
    if (depth == 0) bare += c;
  }
  return std::string(Trim(bare));
}

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

bool ReadNumber(std::string_view text, int* value_r) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  *value_r = value;
  return true;
}

}  // namespace

std::optional<int64_t> ParseMailDate(std::string_view value) {
  // Comments are allowed anywhere; drop them, then read blank-separated words.
  std::string text = BareAddress(value);
  std::vector<std::string_view> words;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t start = 0;
    while (start < rest.size() && (IsBlank(rest[start]) || rest[start] == ',')) ++start;
    size_t end = start;
    while (end < rest.size() && !IsBlank(rest[end]) && rest[end] != ',') ++end;
    if (end > start) words.push_back(rest.substr(start, end - start));
    rest.remove_prefix(end);
  }
  size_t at = 0;
  if (at < words.size() && words[at].size() >= 3 && std::isalpha(static_cast<unsigned char>(words[at][0]))) ++at;  // day name
  if (words.size() < at + 4) return std::nullopt;
  static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
  int day = 0;
  int year = 0;
  if (!ReadNumber(words[at], &day)) return std::nullopt;
  unsigned month = 0;
  for (unsigned m = 0; m < 12; ++m) {
    if (StartsWithNoCase(words[at + 1], kMonths[m])) month = m + 1;
  }
  if (month == 0 || !ReadNumber(words[at + 2], &year)) return std::nullopt;
  if (words[at + 2].size() <= 2) year += year < 50 ? 2000 : 1900;
  else if (words[at + 2].size() == 3) year += 1900;
  std::string_view clock = words[at + 3];
  int hour = 0;
  int minute = 0;
  int second = 0;
  size_t colon = clock.find(':');
  if (colon == std::string_view::npos || !ReadNumber(clock.substr(0, colon), &hour)) return std::nullopt;
  std::string_view after = clock.substr(colon + 1);
  size_t colon2 = after.find(':');
  if (!ReadNumber(after.substr(0, colon2), &minute)) return std::nullopt;
  if (colon2 != std::string_view::npos && !ReadNumber(after.substr(colon2 + 1), &second)) return std::nullopt;
  if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year > 9999) return std::nullopt;

  int offset_minutes = 0;
  if (words.size() > at + 4) {
    std::string_view zone = words[at + 4];
    if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 5) {
      int hhmm = 0;
      if (!ReadNumber(zone.substr(1), &hhmm)) return std::nullopt;
      offset_minutes = (hhmm / 100) * 60 + hhmm % 100;
      if (zone[0] == '-') offset_minutes = -offset_minutes;
    } else {
      struct Named {
        const char* name;
        int hours;
      };
      static constexpr Named kZones[] = {{"EDT", -4}, {"EST", -5}, {"CDT", -5}, {"CST", -6},
                                         {"MDT", -6}, {"MST", -7}, {"PDT", -7}, {"PST", -8}};
      for (const Named& named : kZones) {
        if (EqualsNoCase(zone, named.name)) offset_minutes = named.hours * 60;
      }
      // UT, GMT, Z and the military letters count as UTC (RFC 2822 says treat them so).
    }
  }
  int64_t seconds = DaysFromCivil(year, month, static_cast<unsigned>(day)) * 86400 + hour * 3600 +
                    minute * 60 + second;
  return seconds - static_cast<int64_t>(offset_minutes) * 60;
}

namespace {

// Decodes one encoded word at the start of `text`; returns its length, 0 when it is not one.
size_t DecodeWord(std::string_view text, std::string* out) {
  if (text.size() < 8 || text.substr(0, 2) != "=?") return 0;
  size_t charset_end = text.find('?', 2);
  if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() || text[charset_end + 2] != '?') return 0;
  char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(text[charset_end + 1])));
  size_t payload_start = charset_end + 3;
  size_t end = text.find("?=", payload_start);
  if (end == std::string_view::npos || (encoding != 'B' && encoding != 'Q')) return 0;
  std::string_view payload = text.substr(payload_start, end - payload_start);
  if (payload.find(' ') != std::string_view::npos) return 0;
  std::string decoded;
  if (encoding == 'Q') {
    for (size_t i = 0; i < payload.size(); ++i) {
      if (payload[i] == '_') {
        decoded += ' ';
      } else if (payload[i] == '=' && i + 2 < payload.size() && mime_parts::HexDigitValue(payload[i + 1]) >= 0 &&
                 mime_parts::HexDigitValue(payload[i + 2]) >= 0) {
        decoded += static_cast<char>(mime_parts::HexDigitValue(payload[i + 1]) * 16 + mime_parts::HexDigitValue(payload[i + 2]));
        i += 2;
      } else {
        decoded += payload[i];
      }
    }
  } else {
    uint32_t bits = 0;
    int count = 0;
    for (char c : payload) {
      int v = mime_parts::Base64DigitValue(c);
      if (v < 0) continue;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      count += 6;
      if (count >= 8) {
        count -= 8;
        decoded += static_cast<char>((bits >> count) & 0xFF);
      }
    }
  }
  *out += decoded;
  return end + 2;
}

}  // namespace

std::string DecodeEncodedWords(std::string_view value) {
  std::string out;
  size_t pos = 0;
  bool after_word = false;
  while (pos < value.size()) {
    size_t used = DecodeWord(value.substr(pos), &out);
    if (used > 0) {
      pos += used;
      after_word = true;
      continue;
    }
    if (after_word && IsBlank(value[pos])) {
      // Blanks between two encoded words are not part of the text.
      size_t next = pos;
      while (next < value.size() && IsBlank(value[next])) ++next;
      std::string probe;
      if (next < value.size() && DecodeWord(value.substr(next), &probe) > 0) {
        pos = next;
        continue;
      }
    }
    after_word = false;
    out += value[pos++];
  }
  return out;
}

MailItems ItemsFromHeaders(const MailHeaders& headers, const std::vector<std::string>* envelope_recipients) {
  MailItems items;
  auto gather = [&](std::string_view name, std::vector<std::string>* list_r) {
    for (const HeaderField& field : headers.fields) {
      if (!EqualsNoCase(field.name, name)) continue;
      for (std::string& entry : SplitAddressList(field.value)) {
        if (list_r->size() < kMaxAddresses) list_r->push_back(std::move(entry));
      }
    }
  };
  if (const std::string* from = headers.Find("From")) items.from = *from;
  gather("To", &items.send_to);
  gather("Cc", &items.copy_to);
  gather("Bcc", &items.blind_copy_to);
  if (const std::string* subject = headers.Find("Subject")) items.subject = DecodeEncodedWords(*subject);
  if (const std::string* mailer = headers.Find("X-Mailer")) items.mailer = *mailer;
  else if (const std::string* agent = headers.Find("User-Agent")) items.mailer = *agent;
  if (const std::string* date = headers.Find("Date")) items.posted_unix = ParseMailDate(*date);

  if (envelope_recipients != nullptr && !envelope_recipients->empty()) {
    items.recipients = *envelope_recipients;
    return items;
  }
  for (const std::vector<std::string>* list : {&items.send_to, &items.copy_to, &items.blind_copy_to}) {
    for (const std::string& entry : *list) {
      std::string address = BareAddress(entry);
      if (address.empty()) continue;
      bool seen = std::any_of(items.recipients.begin(), items.recipients.end(),
                              [&](const std::string& known) { return EqualsNoCase(known, address); });
      if (!seen) items.recipients.push_back(std::move(address));
    }
  }
  return items;
}

namespace {

// Length of the next piece of `pending`: all of it when it fits, else up to the last line
// end in the second half of max_bytes, else max_bytes.
size_t PieceLength(std::string_view pending, size_t max_bytes) {
  if (pending.size() <= max_bytes) return pending.size();
  size_t newline = pending.substr(0, max_bytes).rfind('\n');
  if (newline != std::string_view::npos && newline + 1 > max_bytes / 2) return newline + 1;
  return max_bytes;
}

}  // namespace

std::vector<std::string_view> SplitMimeText(std::string_view text, size_t max_bytes) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    size_t length = PieceLength(text, max_bytes);
    pieces.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return pieces;
}

namespace {

// Writes MIME text into Body items as it arrives, one item per piece, and the items of the
// parts whose content went into an attachment object.
class BodyWriter {
 public:
  explicit BodyWriter(NOTEHANDLE note) : note_(note) {}

  [[nodiscard]] STATUS Append(std::string_view bytes) {
    pending_ += bytes;
    while (pending_.size() > kMimePartMaxBytes) {
      if (STATUS status = WritePiece(PieceLength(pending_, kMimePartMaxBytes))) return status;
    }
    return NOERROR;
  }

  // The item of a part kept in an object: its header section (blank line included) and the
  // name of the $FILE item that holds its content.
  [[nodiscard]] STATUS AppendObjectPart(std::string_view header, std::string_view object_name) {
    while (!pending_.empty()) {
      if (STATUS status = WritePiece(PieceLength(pending_, kMimePartMaxBytes))) return status;
    }
    if (header.size() > kMimePartMaxBytes) return ERR_ITEM_TOO_LARGE;
    MIME_PART part{};
    part.wVersion = MIME_PART_VERSION;
    part.dwFlags = MIME_PART_BODY_IN_DBOBJECT;
    part.cPartType = items_ == 0 ? MIME_PART_MESSAGE : MIME_PART_BODY;
    part.wByteCount = static_cast<WORD>(header.size());
    part.wHeadersLen = static_cast<WORD>(header.size());
    std::string value(ODSLength(_MIME_PART), '\0');
    void* cursor = value.data();
    ODSWriteMemory(&cursor, _MIME_PART, &part, 1);
    value.append(header);
    value.append(object_name);
    STATUS status = NSFItemAppend(note_, 0, "Body", 4, TYPE_MIME_PART, value.data(),
                                  static_cast<DWORD>(value.size()));
    if (status == NOERROR) ++items_;
    return status;
  }

  [[nodiscard]] STATUS Finish() {
    while (!pending_.empty() || items_ == 0) {
      if (STATUS status = WritePiece(PieceLength(pending_, kMimePartMaxBytes))) return status;
    }
    return NOERROR;
  }

  // Bytes of the MIME header at the start of the first item (its wHeadersLen).
  size_t header_bytes_ = 0;

 private:
  STATUS WritePiece(size_t length) {
    MIME_PART part{};
    part.wVersion = MIME_PART_VERSION;
    part.cPartType = items_ == 0 ? MIME_PART_MESSAGE : MIME_PART_BODY;
    part.wByteCount = static_cast<WORD>(length);  // PieceLength keeps it <= kMimePartMaxBytes
    part.wHeadersLen = items_ == 0 ? static_cast<WORD>(std::min(header_bytes_, length)) : 0;
    const WORD header_size = ODSLength(_MIME_PART);
    std::string value(header_size + length, '\0');
    void* cursor = value.data();
    ODSWriteMemory(&cursor, _MIME_PART, &part, 1);
    std::memcpy(value.data() + header_size, pending_.data(), length);
    STATUS status = NSFItemAppend(note_, 0, "Body", 4, TYPE_MIME_PART, value.data(),
                                  static_cast<DWORD>(value.size()));
    if (status != NOERROR) return status;
    pending_.erase(0, length);
    ++items_;
    return NOERROR;
  }

  NOTEHANDLE note_;
  std::string pending_;
  size_t items_ = 0;
};

// The message text after its header section, line by line: from memory, or from a file read
// in blocks so that only a block and one line are held. A line longer than kMaxLineBytes
// comes in pieces; only a piece that starts a line can be a boundary.
class LineSource {
 public:
  static constexpr size_t kMaxLineBytes = 64 * 1024;
  static constexpr size_t kBlockBytes = 256 * 1024;

  // With a file, `text` is what was already read of it (copied); without one, `text` is the
  // whole rest and must outlive the source.
  LineSource(std::string_view text, std::FILE* file) : file_(file), text_(text) {
    if (file_ != nullptr) buffer_.assign(text.data(), text.size());
  }

  struct Piece {
    std::string_view bytes;  // with its line end when it has one
    bool starts_line = true;
  };

  // False at the end of the text or on a read error (see failed()).
  bool Next(Piece* piece_r) {
    if (pushed_back_) {
      pushed_back_ = false;
      *piece_r = last_;
      return true;
    }
    if (file_ != nullptr && pos_ >= kBlockBytes) {
      buffer_.erase(0, pos_);
      pos_ = 0;
    }
    size_t newline;
    while ((newline = Data().find('\n', pos_)) == std::string::npos &&
           Data().size() - pos_ < kMaxLineBytes && Fill()) {
    }
    std::string_view data = Data();
    if (pos_ >= data.size()) return false;
    size_t length = newline == std::string::npos ? std::min(data.size() - pos_, kMaxLineBytes)
                                                 : std::min(newline + 1 - pos_, kMaxLineBytes);
    last_.bytes = data.substr(pos_, length);
    last_.starts_line = at_line_start_;
    at_line_start_ = last_.bytes.back() == '\n';
    pos_ += length;
    *piece_r = last_;
    return true;
  }

  // The piece last returned comes again from the next Next (once).
  void PushBack() { pushed_back_ = true; }
  [[nodiscard]] bool failed() const { return failed_; }

 private:
  bool Fill() {
    if (file_ == nullptr || std::feof(file_) || failed_) return false;
    if (pos_ > 0) {
      buffer_.erase(0, pos_);
      pos_ = 0;
    }
    // Read into a block of its own: growing the buffer by a block before reading zeroed
    // 256 KiB for every message, the largest single cost of storing a small mail.
    if (block_ == nullptr) block_.reset(new char[kBlockBytes]);
    size_t got = std::fread(block_.get(), 1, kBlockBytes, file_);
    buffer_.append(block_.get(), got);
    if (std::ferror(file_)) failed_ = true;
    return got > 0;
  }

  [[nodiscard]] std::string_view Data() const {
    return file_ != nullptr ? std::string_view(buffer_) : text_;
  }

  std::FILE* file_;
  std::string_view text_;
  std::string buffer_;
  std::unique_ptr<char[]> block_;  // what one fread fills, made at the first
  size_t pos_ = 0;
  bool at_line_start_ = true;
  bool pushed_back_ = false;
  bool failed_ = false;
  Piece last_;
};

// The line end of a piece ("\r\n", "\n" or none) and what comes before it.
std::string_view LineEndOf(std::string_view piece) {
  if (piece.empty() || piece.back() != '\n') return {};
  return piece.size() >= 2 && piece[piece.size() - 2] == '\r' ? piece.substr(piece.size() - 2)
                                                                 : piece.substr(piece.size() - 1);
}

// Walks the MIME structure of the body as it streams past: text stays in the Body items,
// the content of every attachment part goes into a $FILE object, decoded.
class PartSplitter {
 public:
  // Multipart levels followed; a part nested deeper is kept as text.
  static constexpr size_t kMaxDepth = 64;
  // A part header section longer than this is not one; it is kept as text.
  static constexpr size_t kMaxPartHeaderBytes = 32 * 1024;
  // Attachment objects made for one message; real mail has a few.
  static constexpr size_t kMaxObjects = 1000;

  PartSplitter(NOTEHANDLE note, LineSource* in, BodyWriter* body)
      : note_(note), in_(in), body_(body) {}

  // Parts that may be attachments but whose content stayed in the MIME text.
  [[nodiscard]] size_t PartsKeptAsText() const { return parts_kept_as_text_; }

  // The message's own header section has been read; its MIME lines are `mime_header`.
  [[nodiscard]] STATUS Run(const MailHeaders& headers) {
    std::string header = headers.mime_header + headers.line_end;
    bool enclosed_message = false;
    STATUS status = StartPart(header, headers, &enclosed_message);
    if (status == NOERROR && enclosed_message) status = ReadPartHeaders();
    while (status == NOERROR) {
      LineSource::Piece piece;
      if (!in_->Next(&piece)) break;
      size_t level = 0;
      bool closing = false;
      if (piece.starts_line && MatchDelimiter(piece.bytes, &level, &closing)) {
        if ((status = body_->Append(piece.bytes)) != NOERROR) break;
        boundaries_.resize(closing ? level : level + 1);
        if (!closing) status = ReadPartHeaders();
        continue;
      }
      status = body_->Append(piece.bytes);
    }
    if (status == NOERROR && in_->failed()) status = ERR_FILE_IO;
    return status;
  }

 private:
  // True when the line is the delimiter ("--b") or close delimiter ("--b--") of a boundary
  // in force; level is its place in the stack (an outer boundary ends the inner parts too).
  bool MatchDelimiter(std::string_view line, size_t* level_r, bool* closing_r) const {
    if (boundaries_.empty() || line.size() < 2 || line[0] != '-' || line[1] != '-') return false;
    line.remove_suffix(LineEndOf(line).size());
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    line.remove_prefix(2);
    for (size_t i = boundaries_.size(); i-- > 0;) {
      const std::string& boundary = boundaries_[i];
      if (line.size() < boundary.size() || line.compare(0, boundary.size(), boundary) != 0) continue;
      std::string_view rest = line.substr(boundary.size());
      if (rest.empty() || rest == "--") {
        *level_r = i;
        *closing_r = !rest.empty();
        return true;
      }
    }
    return false;
  }

  // The header section of a part after a delimiter, and of each message it encloses.
  STATUS ReadPartHeaders() {
    bool enclosed_message = true;
    while (enclosed_message) {
      std::string header;
      bool complete = false;
      for (;;) {
        LineSource::Piece piece;
        if (!in_->Next(&piece)) break;  // cut short: what was read stays text
        size_t level = 0;
        bool closing = false;
        const bool too_long = header.size() + piece.bytes.size() > kMaxPartHeaderBytes;
        if (!piece.starts_line || too_long || MatchDelimiter(piece.bytes, &level, &closing)) {
          // Content follows a header section cut at the limit: it stays text, unclassified.
          if (too_long) ++parts_kept_as_text_;
          in_->PushBack();
          break;
        }
        header += piece.bytes;
        if (piece.bytes.size() == LineEndOf(piece.bytes).size()) {  // the blank line
          complete = true;
          break;
        }
      }
      MailHeaders headers;
      std::string error;
      if (!complete || !ParseMailHeaders(header, true, &headers, &error)) {
        return body_->Append(header);
      }
      if (STATUS status = StartPart(header, headers, &enclosed_message); status != NOERROR) {
        return status;
      }
    }
    return NOERROR;
  }

  // Decides what the part whose header section is `header` is, and reads an attachment's
  // content into its object. enclosed_message_r: an enclosed message's header section
  // follows.
  STATUS StartPart(const std::string& header, const MailHeaders& headers,
                   bool* enclosed_message_r) {
    *enclosed_message_r = false;
    mime_parts::PartInfo info = mime_parts::ReadPartInfo(headers);
    switch (mime_parts::Classify(info)) {
      case mime_parts::PartKind::kAttachment:
        // Past the limit (or with headers no item can hold) the content stays text, where
        // a scan of the raw body still sees it.
        if (header.size() <= kMimePartMaxBytes && names_.size() < kMaxObjects) {
          return StoreObject(header, info);
        }
        ++parts_kept_as_text_;
        return body_->Append(header);
      case mime_parts::PartKind::kMultipart:
        if (STATUS status = body_->Append(header); status != NOERROR) return status;
        if (boundaries_.size() < kMaxDepth) boundaries_.push_back(info.boundary);
        else ++parts_kept_as_text_;  // its parts, attachments among them, stay text
        return NOERROR;
      case mime_parts::PartKind::kMessage:
        *enclosed_message_r = true;
        return body_->Append(header);
      case mime_parts::PartKind::kText:
        return body_->Append(header);
    }
    return NOERROR;
  }

  // A name for the $FILE item that no other attachment of the note has.
  std::string ObjectName(const mime_parts::PartInfo& info) {
    std::string name = mime_parts::SafeFileName(info.file_name);
    if (name.size() >= MAXPATH - 16) name.clear();
    auto taken = [this](const std::string& candidate) {
      std::string folded = Folded(candidate);
      return std::find(names_.begin(), names_.end(), folded) != names_.end();
    };
    if (name.empty() || taken(name)) {
      std::string extension;
      size_t dot = name.rfind('.');
      if (dot != std::string::npos && name.size() - dot <= 8) extension = name.substr(dot);
      do {
        char generated[16];
        std::snprintf(generated, sizeof generated, "ATT%05u", ++generated_);
        name = generated + extension;
      } while (taken(name));
    }
    names_.push_back(Folded(name));
    return name;
  }

  static std::string Folded(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
  }

  // Streams the content of the part into a $FILE object, up to the next delimiter.
  STATUS StoreObject(const std::string& header, const mime_parts::PartInfo& info) {
    std::string name = ObjectName(info);
    decoder_.emplace(info.encoding);
    decoded_.clear();
    held_end_.clear();
    content_done_ = false;
    STATUS status = VtNoteAttachStream(note_, MAIL_FILE_ITEM, 5, name.c_str(), ReadContent, this,
                                       nullptr);
    if (status == NOERROR && in_->failed()) status = ERR_FILE_IO;
    if (status == NOERROR) status = body_->AppendObjectPart(header, name);
    // The line end before the delimiter belongs to the delimiter: it stays text.
    if (status == NOERROR) status = body_->Append(held_end_);
    return status;
  }

  static STATUS ReadContent(void* context, char* buffer, DWORD size, DWORD* got_r) {
    auto* self = static_cast<PartSplitter*>(context);
    while (self->decoded_.size() < size && !self->content_done_) self->DecodeNextPiece();
    DWORD got = static_cast<DWORD>(std::min<size_t>(size, self->decoded_.size()));
    std::memcpy(buffer, self->decoded_.data(), got);
    self->decoded_.erase(0, got);
    *got_r = got;
    return NOERROR;
  }

  void DecodeNextPiece() {
    LineSource::Piece piece;
    size_t level = 0;
    bool closing = false;
    if (!in_->Next(&piece)) {
      content_done_ = true;
      return;
    }
    if (piece.starts_line && MatchDelimiter(piece.bytes, &level, &closing)) {
      in_->PushBack();
      content_done_ = true;
      return;
    }
    std::string_view end = LineEndOf(piece.bytes);
    std::string_view content = piece.bytes.substr(0, piece.bytes.size() - end.size());
    if (decoder_->IgnoresBlankLines() && piece.starts_line && !end.empty() &&
        content.find_first_not_of(" \t\r") == std::string_view::npos) {
      held_end_.append(piece.bytes);  // stays text if no more content follows
      return;
    }
    if (!held_end_.empty()) decoder_->LineEnd(held_end_, &decoded_);
    decoder_->Content(content, &decoded_);
    held_end_.assign(end);
  }

  NOTEHANDLE note_;
  LineSource* in_;
  BodyWriter* body_;
  std::vector<std::string> boundaries_;
  std::vector<std::string> names_;  // folded names of the objects made so far
  unsigned generated_ = 0;
  std::optional<mime_parts::ContentDecoder> decoder_;
  std::string decoded_;
  std::string held_end_;
  bool content_done_ = false;
  size_t parts_kept_as_text_ = 0;
};

// Entries of a text list item are WORD-counted; MAXWORD would mean "NUL-terminated".
constexpr size_t kMaxEntryBytes = MAXWORD - 1;

STATUS SetTextList(NOTEHANDLE note, const char* name, const std::vector<std::string>& entries) {
  STATUS status = NSFItemDelete(note, name, static_cast<WORD>(std::strlen(name)));
  if (status != NOERROR && ERR(status) != ERR_ITEM_NOT_FOUND) return status;
  bool first = true;
  for (const std::string& entry : entries) {
    if (entry.empty()) continue;  // a zero-length entry would end the list for its readers
    WORD length = static_cast<WORD>(std::min(entry.size(), kMaxEntryBytes));
    status = first ? NSFItemCreateTextList(note, name, entry.data(), length)
                   : NSFItemAppendTextList(note, name, entry.data(), length, TRUE);
    if (status != NOERROR) return status;
    first = false;
  }
  return NOERROR;
}

// The header lines of a header section that are not MIME lines (nor an mbox separator),
// folding and line ends kept.
std::string OtherHeaderLines(std::string_view section) {
  std::string other;
  size_t pos = 0;
  bool keep = false;
  bool first = true;
  while (pos < section.size()) {
    Line line = LineAt(section, pos);
    if (line.content.empty()) break;
    std::string_view raw = section.substr(pos, line.next - pos);
    pos = line.next;
    if (line.content[0] == ' ' || line.content[0] == '\t') {
      if (keep) other += raw;
      continue;
    }
    std::string_view name = FieldName(line.content);
    if (first && name.empty() && line.content.rfind("From ", 0) == 0) {
      first = false;
      continue;
    }
    first = false;
    if (name.empty()) break;
    keep = !IsMimeField(name);
    if (keep) other += raw;
  }
  return other;
}

STATUS SetText(NOTEHANDLE note, const char* name, std::string_view text) {
  return NSFItemSetText(note, name, text.data(), static_cast<WORD>(std::min(text.size(), kMaxEntryBytes)));
}

STATUS WriteHeaderItems(NOTEHANDLE note, std::string_view message, const MailHeaders& headers,
                        const ImportOptions& options) {
  MailItems items = ItemsFromHeaders(headers, &options.envelope_recipients);
  STATUS status = SetText(note, "Form", "Memo");
  if (status == NOERROR) {
    // The header lines the Body items do not hold, as written, for the message to be
    // written back whole.
    std::string other = OtherHeaderLines(message.substr(0, headers.body_offset));
    status = NSFItemDelete(note, kMailHeadersItem, static_cast<WORD>(std::strlen(kMailHeadersItem)));
    if (ERR(status) == ERR_ITEM_NOT_FOUND) status = NOERROR;
    if (status == NOERROR && !other.empty()) {
      status = NSFItemAppend(note, 0, kMailHeadersItem, static_cast<WORD>(std::strlen(kMailHeadersItem)),
                             TYPE_TEXT, other.data(), static_cast<DWORD>(other.size()));
    }
  }
  if (status == NOERROR) {
    if (headers.Find("From") != nullptr) status = SetText(note, "From", items.from);
    else if (!options.envelope_sender.empty()) status = SetText(note, "From", options.envelope_sender);
  }
  if (status == NOERROR) status = SetTextList(note, "SendTo", items.send_to);
  if (status == NOERROR) status = SetTextList(note, "CopyTo", items.copy_to);
  if (status == NOERROR) status = SetTextList(note, "BlindCopyTo", items.blind_copy_to);
  if (status == NOERROR) status = SetTextList(note, "Recipients", items.recipients);
  if (status == NOERROR) status = SetText(note, "Subject", items.subject);
  if (status == NOERROR) {
    TIMEDATE posted;
    if (items.posted_unix) posted = VtTimeDateFromUnix(*items.posted_unix);
    else if (options.received_unix != 0) posted = VtTimeDateFromUnix(options.received_unix);
    else OSCurrentTIMEDATE(&posted);
    status = NSFItemSetTime(note, "PostedDate", &posted);
  }
  if (status == NOERROR && items.mailer) status = SetText(note, "$Mailer", *items.mailer);
  if (const std::string* message_id = headers.Find("Message-ID"); status == NOERROR && message_id != nullptr) {
    status = SetText(note, "$MessageID", *message_id);
  }
  if (status == NOERROR) status = SetText(note, "$NoteHasNativeMIME", "1");
  if (status == NOERROR) {
    const std::string* version = headers.Find("MIME-Version");
    status = SetText(note, "MIME_Version", version != nullptr ? *version : "1.0");
  }
  if (status == NOERROR) {
    status = NSFItemDelete(note, "Body", 4);
    if (ERR(status) == ERR_ITEM_NOT_FOUND) status = NOERROR;
  }
  return status;
}

STATUS WriteBody(NOTEHANDLE note, const MailHeaders& headers, LineSource* source) {
  BodyWriter body(note);
  body.header_bytes_ = headers.mime_header.size();
  PartSplitter splitter(note, source, &body);
  STATUS status = NSFItemDelete(note, kTextAttachmentsItem,
                                static_cast<WORD>(std::strlen(kTextAttachmentsItem)));
  if (ERR(status) == ERR_ITEM_NOT_FOUND) status = NOERROR;
  if (status == NOERROR) status = splitter.Run(headers);
  if (status == NOERROR) status = body.Finish();
  if (status == NOERROR && splitter.PartsKeptAsText() > 0) {
    const NUMBER kept = static_cast<NUMBER>(splitter.PartsKeptAsText());
    status = NSFItemSetNumber(note, kTextAttachmentsItem, &kept);
  }
  return status;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

STATUS ImportMailText(NOTEHANDLE note, std::string_view message, const ImportOptions& options,
                      std::string* error_r) {
  MailHeaders headers;
  std::string error;
  if (!ParseMailHeaders(message, true, &headers, &error)) {
    if (error_r != nullptr) *error_r = error;
    return ERR_BAD_PARAM;
  }
  STATUS status = WriteHeaderItems(note, message, headers, options);
  if (status != NOERROR) return status;
  LineSource source(message.substr(headers.body_offset), nullptr);
  return WriteBody(note, headers, &source);
}

STATUS ImportMailFile(NOTEHANDLE note, const char* path, const ImportOptions& options,
                      std::string* error_r) {
  if (path == nullptr || *path == '\0') {
    if (error_r != nullptr) *error_r = "no message file named";
    return ERR_BAD_PARAM;
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) {
    if (error_r != nullptr) *error_r = std::string(path) + ": " + std::strerror(errno);
    return errno == ENOENT ? ERR_NOEXIST : ERR_FILE_IO;
  }
  // Read the head: enough to hold the longest header section accepted and one byte more.
  std::string head(kMaxHeaderBytes + 1, '\0');
  size_t head_bytes = std::fread(head.data(), 1, head.size(), file.get());
  if (std::ferror(file.get())) {
    if (error_r != nullptr) *error_r = std::string(path) + ": read failed";
    return ERR_FILE_IO;
  }
  head.resize(head_bytes);
  bool whole = head_bytes <= kMaxHeaderBytes;
  MailHeaders headers;
  std::string error;
  if (!ParseMailHeaders(head, whole, &headers, &error)) {
    if (error_r != nullptr) *error_r = std::string(path) + ": " + error;
    return ERR_BAD_PARAM;
  }
  STATUS status = WriteHeaderItems(note, head, headers, options);
  if (status != NOERROR) return status;
  LineSource source(std::string_view(head).substr(headers.body_offset), file.get());
  head.clear();
  head.shrink_to_fit();
  status = WriteBody(note, headers, &source);
  if (ERR(status) == ERR_FILE_IO && source.failed() && error_r != nullptr) {
    *error_r = std::string(path) + ": read failed";
  }
  return status;
}

}  // namespace mail_import
