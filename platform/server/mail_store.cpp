// mail_store.cpp - RFC 822 header reading and the mail note written into mail.box.
#include "platform/server/mail_store.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace vtserver {
namespace {

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Closes a database and a note on every path.
struct DbCloser {
  DBHANDLE db = NULLHANDLE;
  ~DbCloser() {
    if (db != NULLHANDLE) (void)NSFDbClose(db);
  }
};
struct NoteCloser {
  NOTEHANDLE note = NULLHANDLE;
  ~NoteCloser() {
    if (note != NULLHANDLE) (void)NSFNoteClose(note);
  }
};

// Text items are limited to a 16-bit length; a longer header is cut, not refused.
WORD ItemLength(const std::string& text) {
  return static_cast<WORD>(std::min<size_t>(text.size(), MAXWORD - 1));
}

STATUS SetTextList(NOTEHANDLE note, const char* name, const std::vector<std::string>& values) {
  if (values.empty()) return NOERROR;
  (void)NSFItemDelete(note, name, static_cast<WORD>(std::strlen(name)));
  for (const std::string& value : values) {
    STATUS status = NSFItemAppendTextList(note, name, value.c_str(), ItemLength(value), TRUE);
    if (status != NOERROR) return status;
  }
  return NOERROR;
}

const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                               "jul", "aug", "sep", "oct", "nov", "dec"};

}  // namespace

MailHeaders ParseMailHeaders(std::string_view text) {
  MailHeaders headers;
  std::string name;
  std::string value;
  auto flush = [&]() {
    if (name.empty()) return;
    std::string trimmed = Trim(value);
    if (EqualNoCase(name, "From")) headers.from = trimmed;
    else if (EqualNoCase(name, "To")) headers.to = headers.to.empty() ? trimmed : headers.to + ", " + trimmed;
    else if (EqualNoCase(name, "Cc")) headers.cc = headers.cc.empty() ? trimmed : headers.cc + ", " + trimmed;
    else if (EqualNoCase(name, "Bcc")) headers.bcc = headers.bcc.empty() ? trimmed : headers.bcc + ", " + trimmed;
    else if (EqualNoCase(name, "Subject")) headers.subject = trimmed;
    else if (EqualNoCase(name, "Date")) headers.date = trimmed;
    else if (EqualNoCase(name, "X-Mailer") || (EqualNoCase(name, "User-Agent") && headers.mailer.empty()))
      headers.mailer = trimmed;
    name.clear();
    value.clear();
  };
  size_t position = 0;
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(position, end - position);
    position = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // end of the header block
    if (line.front() == ' ' || line.front() == '\t') {
      value.append(" ");
      value.append(Trim(line));  // folded continuation
      continue;
    }
    flush();
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;  // not a header line: ignored
    name = Trim(line.substr(0, colon));
    value = std::string(line.substr(colon + 1));
  }
  flush();
  return headers;
}

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> entries;
  std::string current;
  bool quoted = false;
  int angle = 0;
  int comment = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (quoted) {
      if (c == '\\' && i + 1 < list.size()) {
        current += c;
        c = list[++i];
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      ++comment;
    } else if (c == ')' && comment > 0) {
      --comment;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>' && angle > 0) {
      --angle;
    } else if ((c == ',' || c == ';') && angle == 0 && comment == 0) {
      std::string entry = Trim(current);
      if (!entry.empty()) entries.push_back(entry);
      current.clear();
      continue;
    }
    current += c;
  }
  std::string entry = Trim(current);
  if (!entry.empty()) entries.push_back(entry);
  return entries;
}

std::string BareAddress(std::string_view entry) {
  size_t open = entry.rfind('<');
  if (open != std::string_view::npos) {
    size_t close = entry.find('>', open);
    if (close != std::string_view::npos) return Trim(entry.substr(open + 1, close - open - 1));
  }
  size_t comment = entry.find('(');
  if (comment != std::string_view::npos) entry = entry.substr(0, comment);
  return Trim(entry);
}

bool ParseMailDate(std::string_view date, long long* unix_seconds_r) {
  std::string text = Trim(date);
  size_t comma = text.find(',');
  if (comma != std::string::npos) text = Trim(std::string_view(text).substr(comma + 1));
  char month_name[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char zone[16] = {};
  int fields = std::sscanf(text.c_str(), "%d %3s %d %d:%d:%d %15s", &day, month_name, &year,
                           &hour, &minute, &second, zone);
  if (fields < 5) {
    fields = std::sscanf(text.c_str(), "%d %3s %d %d:%d %15s", &day, month_name, &year, &hour,
                         &minute, zone);
    if (fields < 5) return false;
    second = 0;
  }
  int month = -1;
  for (int i = 0; i < 12; ++i) {
    if (EqualNoCase(month_name, kMonths[i])) month = i;
  }
  if (month < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  if (year < 50) year += 2000;
  else if (year < 1000) year += 1900;
  std::tm broken = {};
  broken.tm_year = year - 1900;
  broken.tm_mon = month;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = second;
  long long seconds = static_cast<long long>(timegm(&broken));
  // Numeric zones (+hhmm / -hhmm); named zones other than UT/GMT count as UTC.
  if ((zone[0] == '+' || zone[0] == '-') && std::strlen(zone) >= 5) {
    int hh = (zone[1] - '0') * 10 + (zone[2] - '0');
    int mm = (zone[3] - '0') * 10 + (zone[4] - '0');
    long long offset = (hh * 60LL + mm) * 60LL;
    seconds += zone[0] == '+' ? -offset : offset;
  }
  *unix_seconds_r = seconds;
  return true;
}

STATUS StoreInboundMail(const char* mail_box, std::string_view text,
                        const std::vector<std::string>& recipients,
                        const std::string* envelope_sender, NOTEID* note_id_r) {
  if (note_id_r != nullptr) *note_id_r = 0;
  MailHeaders headers = ParseMailHeaders(text);
  std::vector<std::string> send_to = SplitAddressList(headers.to);
  std::vector<std::string> copy_to = SplitAddressList(headers.cc);
  std::vector<std::string> blind_copy_to = SplitAddressList(headers.bcc);
  std::vector<std::string> routing = recipients;
  if (routing.empty()) {
    for (const auto* list : {&send_to, &copy_to, &blind_copy_to}) {
      for (const std::string& entry : *list) routing.push_back(BareAddress(entry));
    }
  }
  if (routing.empty()) return ERR_BAD_PARAM;  // nothing to route to
  std::string from = headers.from;
  if (from.empty() && envelope_sender != nullptr) from = *envelope_sender;

  DbCloser db;
  STATUS status = NSFDbOpen(mail_box, &db.db);
  if (status != NOERROR) return status;
  NoteCloser note;
  status = NSFNoteCreate(db.db, &note.note);
  if (status != NOERROR) return status;

  TIMEDATE posted;
  long long seconds = 0;
  if (!headers.date.empty() && ParseMailDate(headers.date, &seconds)) {
    posted = VtTimeDateFromUnix(seconds);
  } else {
    OSCurrentTIMEDATE(&posted);
  }
  status = NSFItemSetText(note.note, MAIL_FORM_ITEM, "Memo", MAXWORD);
  if (status == NOERROR && !from.empty())
    status = NSFItemSetText(note.note, MAIL_FROM_ITEM, from.c_str(), ItemLength(from));
  if (status == NOERROR) status = SetTextList(note.note, MAIL_SENDTO_ITEM, send_to);
  if (status == NOERROR) status = SetTextList(note.note, MAIL_COPYTO_ITEM, copy_to);
  if (status == NOERROR) status = SetTextList(note.note, MAIL_BLINDCOPYTO_ITEM, blind_copy_to);
  if (status == NOERROR)
    status = NSFItemSetText(note.note, MAIL_SUBJECT_ITEM, headers.subject.c_str(),
                            ItemLength(headers.subject));
  if (status == NOERROR) status = NSFItemSetTime(note.note, MAIL_POSTEDDATE_ITEM, &posted);
  if (status == NOERROR) status = SetTextList(note.note, MAIL_RECIPIENTS_ITEM, routing);
  if (status == NOERROR && !headers.mailer.empty())
    status = NSFItemSetText(note.note, MAIL_MAILER_ITEM, headers.mailer.c_str(),
                            ItemLength(headers.mailer));
  if (status == NOERROR && envelope_sender != nullptr)
    status = NSFItemSetText(note.note, kOriginatorItem, envelope_sender->c_str(),
                            ItemLength(*envelope_sender));
  if (status == NOERROR) status = NSFItemSetText(note.note, "MIME_Version", "1.0", MAXWORD);
  if (status == NOERROR) status = NSFItemSetText(note.note, "$NoteHasNativeMIME", "1", MAXWORD);
  if (status == NOERROR)
    status = VtNoteSetMimeBody(note.note, MAIL_BODY_ITEM, text.data(),
                               static_cast<DWORD>(text.size()));
  if (status == NOERROR) status = NSFNoteUpdate(note.note, 0);
  if (status != NOERROR) return status;
  if (note_id_r != nullptr) NSFNoteGetInfo(note.note, _NOTE_ID, note_id_r);
  return NOERROR;
}

}  // namespace vtserver
