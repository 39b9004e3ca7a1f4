// mail_import.cpp - RFC 822 header parsing and the mail note items it gives (see
// mail_import.h).

#include "platform/notes/mail_import.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

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

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

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
      } else if (payload[i] == '=' && i + 2 < payload.size() && HexValue(payload[i + 1]) >= 0 &&
                 HexValue(payload[i + 2]) >= 0) {
        decoded += static_cast<char>(HexValue(payload[i + 1]) * 16 + HexValue(payload[i + 2]));
        i += 2;
      } else {
        decoded += payload[i];
      }
    }
  } else {
    uint32_t bits = 0;
    int count = 0;
    for (char c : payload) {
      int v = Base64Value(c);
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

// Writes MIME text into Body items as it arrives, one item per piece.
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

STATUS SetText(NOTEHANDLE note, const char* name, std::string_view text) {
  return NSFItemSetText(note, name, text.data(), static_cast<WORD>(std::min(text.size(), kMaxEntryBytes)));
}

STATUS WriteHeaderItems(NOTEHANDLE note, const MailHeaders& headers, const ImportOptions& options) {
  MailItems items = ItemsFromHeaders(headers, &options.envelope_recipients);
  STATUS status = SetText(note, "Form", "Memo");
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
  STATUS status = WriteHeaderItems(note, headers, options);
  if (status != NOERROR) return status;
  BodyWriter body(note);
  body.header_bytes_ = headers.mime_header.size();
  if ((status = body.Append(headers.mime_header)) != NOERROR) return status;
  if ((status = body.Append(headers.line_end)) != NOERROR) return status;
  if ((status = body.Append(message.substr(headers.body_offset))) != NOERROR) return status;
  return body.Finish();
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
  STATUS status = WriteHeaderItems(note, headers, options);
  if (status != NOERROR) return status;
  BodyWriter body(note);
  body.header_bytes_ = headers.mime_header.size();
  if ((status = body.Append(headers.mime_header)) != NOERROR) return status;
  if ((status = body.Append(headers.line_end)) != NOERROR) return status;
  if ((status = body.Append(std::string_view(head).substr(headers.body_offset))) != NOERROR) return status;
  head.clear();
  head.shrink_to_fit();
  std::string block(64 * 1024, '\0');
  for (;;) {
    size_t got = std::fread(block.data(), 1, block.size(), file.get());
    if (got > 0 && (status = body.Append(std::string_view(block.data(), got))) != NOERROR) return status;
    if (got < block.size()) break;
  }
  if (std::ferror(file.get())) {
    if (error_r != nullptr) *error_r = std::string(path) + ": read failed";
    return ERR_FILE_IO;
  }
  return body.Finish();
}

}  // namespace mail_import
