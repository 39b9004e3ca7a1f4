// NAME
//   nsf - look into and change the Notes databases of a machine root
//
// SYNOPSIS
//   nsf [--root DIR] create DB [--title TITLE] [--class DESIGNCLASS] [--force]
//   nsf [--root DIR] ls DB [--json]
//   nsf [--root DIR] show DB NOTEID [--json] [--full]
//   nsf [--root DIR] search DB FORMULA [--json]
//   nsf [--root DIR] put DB [--note NOTEID] [--body FILE] [--attach FILE]... ITEM...
//   nsf [--root DIR] import DB FILE.eml [--rcpt ADDRESS]...
//   nsf [--root DIR] extract DB NOTEID DIR
//   nsf [--root DIR] export DB NOTEID [FILE]
//   nsf [--root DIR] delete DB NOTEID
//   nsf --help
//
// DESCRIPTION
//   nsf is the administrator's and the scripts' window on the databases of one machine root
//   (a Notes data directory with mail.box, names.nsf, vtsched.nsf, the users' mail files).
//   DB is a path relative to the data directory (mail.box, mail/alice.nsf) or absolute.
//
//   create   makes a new, empty database with a title and a design class (a mail database
//            has a design class ending in "Mail"). --force replaces an existing file.
//   ls       lists the documents: note ID, Form, item count and Subject.
//   show     prints every item of one document in order: name, type and value. MIME
//            values are cut after 200 bytes unless --full is given; a MIME part whose
//            content is kept in an attachment names that attachment.
//   search   prints the note IDs of the documents a selection formula selects, as NSFSearch
//            finds them (SELECT form = "NewUser" & Email3 = "alice@example.com").
//   put      creates a document (or, with --note, changes one) from ITEM arguments:
//              Name=text        a text item
//              Name#=12.5       a number item
//              Name[]=a,b,c     a text list (entries split at commas)
//              Name@=2026-12-07 10:30:00
//                               a time item (local time; "now" for the current time)
//              Name=            an empty text item
//            --body makes the rich-text Body from the lines of a text file; --attach adds
//            FILE as an attachment ($FILE) under its own name. put prints the note ID.
//   import   stores an RFC 822 message file as a MIME mail document (the items a mail box
//            holds: From, SendTo, CopyTo, BlindCopyTo, Subject, PostedDate, Recipients,
//            $Mailer, Body MIME parts, and the content of every attachment part, decoded,
//            as a $FILE attachment) and prints its note ID. --rcpt gives envelope
//            recipients (Recipients), else they come from To, Cc and Bcc. The message is
//            read in pieces, so its size does not matter.
//   extract  writes every attachment of a document into DIR under its own name.
//   export   writes a mail document as an RFC 822 message to FILE (standard output when
//            none is given): an imported MIME mail with its original header lines and
//            structure, each attachment encoded again in its transfer encoding; any other
//            mail as a MIME message of its body text and its attachments in base64.
//   delete   deletes a document.
//
//   Note IDs are printed in decimal; they are read in decimal or, with 0x, in hex.
//   --json makes ls, show and search print one JSON document for scripts.
//
// FILES
//   $VT_SYSROOT/domino/notes.ini         names the data directory (Directory)
//   $VT_SYSROOT/domino/data/             the databases
//
// CONFIGURATION
//   VT_SYSROOT  the machine root, unless --root names one.
//
// DIAGNOSTICS
//   Errors go to stderr as "nsf: " and the reason (the Notes status text when a Notes call
//   failed). Exit status 0 on success, 1 when an operation failed, 2 on a usage error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/mail_export.h"
#include "platform/notes/mail_import.h"
#include "platform/notes/notes.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: nsf [--root DIR] COMMAND DB ...\n"
    "  create DB [--title TITLE] [--class DESIGNCLASS] [--force]\n"
    "  ls DB [--json]\n"
    "  show DB NOTEID [--json] [--full]   (--full: whole MIME values)\n"
    "  search DB 'SELECT ...' [--json]\n"
    "  put DB [--note NOTEID] [--body FILE] [--attach FILE]... ITEM...\n"
    "                                   ITEM: Name=text  Name#=12.5  Name[]=a,b,c\n"
    "                                         Name@=YYYY-MM-DD HH:MM:SS (or now)\n"
    "  import DB FILE.eml [--rcpt ADDRESS]...\n"
    "  extract DB NOTEID DIR\n"
    "  export DB NOTEID [FILE]            (the mail as an RFC 822 message)\n"
    "  delete DB NOTEID\n"
    "DB is relative to the data directory or absolute; the root is VT_SYSROOT unless --root.\n"
    "Note IDs are decimal (or hex with 0x).\n";

std::string StatusText(STATUS status) {
  char text[1024] = "";
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof text);
  return std::string(text) + " (status " + std::to_string(ERR(status)) + ")";
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "nsf: %s\n", what.c_str());
  return kExitFailed;
}

int FailStatus(const std::string& what, STATUS status) { return Fail(what + ": " + StatusText(status)); }

int Usage(const std::string& what) {
  std::fprintf(stderr, "nsf: %s\n%s", what.c_str(), kUsage);
  return kExitUsage;
}

// JSON string literal of arbitrary bytes (control characters escaped).
std::string Json(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// A value on one line of the listing: line ends and other control bytes as escapes.
std::string OneLine(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || c == 0x7F) out += '.';
    else out += static_cast<char>(c);
  }
  return out;
}

bool ParseNoteId(std::string_view text, NOTEID* id_r) {
  std::string copy(text);
  if (copy.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFull || copy[0] == '-') return false;
  *id_r = static_cast<NOTEID>(value);
  return true;
}

// Owners of the handles this tool opens.
class Database {
 public:
  ~Database() {
    if (db_ != NULLHANDLE) (void)NSFDbClose(db_);
  }
  [[nodiscard]] STATUS Open(const std::string& path) { return NSFDbOpen(path.c_str(), &db_); }
  DBHANDLE get() const { return db_; }

 private:
  DBHANDLE db_ = NULLHANDLE;
};

class Note {
 public:
  ~Note() {
    if (note_ != NULLHANDLE) (void)NSFNoteClose(note_);
  }
  NOTEHANDLE* out() { return &note_; }
  NOTEHANDLE get() const { return note_; }

 private:
  NOTEHANDLE note_ = NULLHANDLE;
};

std::string TimeText(const TIMEDATE& time) {
  char text[128] = "";
  WORD length = 0;
  if (ConvertTIMEDATEToText(nullptr, nullptr, &time, text, sizeof text, &length) != NOERROR) return "?";
  return std::string(text, length);
}

std::string NumberText(double number) {
  char text[64] = "";
  WORD length = 0;
  if (ConvertFLOATToText(nullptr, nullptr, &number, text, sizeof text, &length) != NOERROR) return "?";
  return std::string(text, length);
}

const char* TypeName(WORD type) {
  switch (type) {
    case TYPE_TEXT: return "text";
    case TYPE_TEXT_LIST: return "text-list";
    case TYPE_NUMBER: return "number";
    case TYPE_NUMBER_RANGE: return "number-list";
    case TYPE_TIME: return "time";
    case TYPE_TIME_RANGE: return "time-list";
    case TYPE_COMPOSITE: return "rich-text";
    case TYPE_MIME_PART: return "mime-part";
    case TYPE_OBJECT: return "attachment";
    default: return "other";
  }
}

// One item as show prints it.
struct ItemView {
  std::string name;
  WORD type = 0;
  WORD flags = 0;
  std::vector<std::string> texts;  // the value as text entries
  bool is_list = false;
  bool is_number = false;
  DWORD bytes = 0;
};

template <typename T>
bool ReadPacked(const BYTE*& cursor, const BYTE* end, T* value_r) {
  if (static_cast<size_t>(end - cursor) < sizeof(T)) return false;
  std::memcpy(value_r, cursor, sizeof(T));
  cursor += sizeof(T);
  return true;
}

// MIME values are cut after this many bytes unless the whole value is asked for.
constexpr size_t kShownMimeBytes = 200;

// Renders an item value (type word first) as text entries; unreadable values say so.
void RenderValue(const BYTE* value, DWORD value_len, bool full, ItemView* view) {
  const BYTE* cursor = value + sizeof(WORD);
  const BYTE* end = value + value_len;
  view->bytes = value_len;
  switch (view->type) {
    case TYPE_TEXT: view->texts.emplace_back(reinterpret_cast<const char*>(cursor), end - cursor); return;
    case TYPE_TEXT_LIST: {
      view->is_list = true;
      WORD count = ListGetNumEntries(value, TRUE);
      for (WORD i = 0; i < count; ++i) {
        char* text = nullptr;
        WORD length = 0;
        if (ListGetText(value, TRUE, i, &text, &length) != NOERROR) break;
        view->texts.emplace_back(text, length);
      }
      return;
    }
    case TYPE_NUMBER: {
      double number = 0;
      view->is_number = true;
      if (ReadPacked(cursor, end, &number)) view->texts.push_back(NumberText(number));
      return;
    }
    case TYPE_TIME: {
      TIMEDATE time{};
      if (ReadPacked(cursor, end, &time)) view->texts.push_back(TimeText(time));
      return;
    }
    case TYPE_MIME_PART: {
      void* source = const_cast<BYTE*>(cursor);
      MIME_PART part{};
      WORD header = ODSLength(_MIME_PART);
      if (static_cast<size_t>(end - cursor) < header) break;
      ODSReadMemory(&source, _MIME_PART, &part, 1);
      size_t available = static_cast<size_t>(end - cursor) - header;
      size_t count = std::min<size_t>(part.wByteCount, available);
      size_t shown = full ? count : std::min(count, kShownMimeBytes);
      std::string text = std::to_string(part.wByteCount) + " bytes: " +
                         std::string(reinterpret_cast<const char*>(cursor + header), shown) +
                         (shown < part.wByteCount ? "..." : "");
      if ((part.dwFlags & MIME_PART_BODY_IN_DBOBJECT) != 0) {
        text += " [content in attachment " +
                std::string(reinterpret_cast<const char*>(cursor + header + count), available - count) + "]";
      }
      view->texts.push_back(std::move(text));
      return;
    }
    case TYPE_COMPOSITE: {
      // Paragraphs: WORD record type, WORD byte length, the bytes.
      std::string text;
      WORD record = 0;
      WORD length = 0;
      bool whole = true;
      while (cursor < end) {
        if (!ReadPacked(cursor, end, &record) || !ReadPacked(cursor, end, &length) ||
            static_cast<size_t>(end - cursor) < length) {
          whole = false;
          break;
        }
        if (!text.empty()) text += '\n';
        text.append(reinterpret_cast<const char*>(cursor), length);
        cursor += length;
      }
      if (!whole) break;
      view->texts.push_back(std::move(text));
      return;
    }
    case TYPE_OBJECT: {
      WORD header = ODSLength(_FILEOBJECT);
      if (static_cast<size_t>(end - cursor) < header) break;
      void* source = const_cast<BYTE*>(cursor);
      FILEOBJECT object{};
      ODSReadMemory(&source, _FILEOBJECT, &object, 1);
      size_t name_bytes = std::min<size_t>(object.FileNameLength, static_cast<size_t>(end - cursor) - header);
      view->texts.push_back(std::string(reinterpret_cast<const char*>(cursor + header), name_bytes) + " (" +
                            std::to_string(object.FileSize) + " bytes)");
      return;
    }
    default: break;
  }
  char text[48];
  std::snprintf(text, sizeof text, "(%u bytes)", static_cast<unsigned>(value_len));
  view->texts.emplace_back(text);
}

struct ItemViews {
  bool full = false;
  std::vector<ItemView> items;
};

STATUS CollectItem(WORD, WORD item_flags, char* name, WORD name_len, void* value, DWORD value_len,
                   void* context) {
  auto* views = static_cast<ItemViews*>(context);
  ItemView view;
  view.name.assign(name, name_len);
  view.flags = item_flags;
  if (value_len >= sizeof(WORD)) {
    std::memcpy(&view.type, value, sizeof(WORD));
    RenderValue(static_cast<const BYTE*>(value), value_len, views->full, &view);
  }
  views->items.push_back(std::move(view));
  return NOERROR;
}

std::string ItemText(NOTEHANDLE note, const char* name) {
  char text[512] = "";
  WORD length = NSFItemGetText(note, name, text, sizeof text);
  return std::string(text, length);
}

struct NoteSummary {
  NOTEID id = 0;
  WORD note_class = 0;
  std::string form;
  std::string subject;
  size_t items = 0;
};

STATUS CountItem(WORD, WORD, char*, WORD, void*, DWORD, void* context) {
  ++*static_cast<size_t*>(context);
  return NOERROR;
}

STATUS Summarise(DBHANDLE db, NOTEID id, NoteSummary* summary_r) {
  Note note;
  STATUS status = NSFNoteOpen(db, id, OPEN_DEFAULT, note.out());
  if (status != NOERROR) return status;
  summary_r->id = id;
  NSFNoteGetInfo(note.get(), _NOTE_CLASS, &summary_r->note_class);
  summary_r->form = ItemText(note.get(), "Form");
  summary_r->subject = ItemText(note.get(), "Subject");
  return NSFItemScan(note.get(), CountItem, &summary_r->items);
}

STATUS CollectId(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH) static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
  return NOERROR;
}

int PrintSummaries(DBHANDLE db, const std::vector<NOTEID>& ids, bool json) {
  std::vector<NoteSummary> summaries;
  for (NOTEID id : ids) {
    NoteSummary summary;
    if (STATUS status = Summarise(db, id, &summary)) return FailStatus("note " + std::to_string(id), status);
    summaries.push_back(std::move(summary));
  }
  if (json) {
    std::printf("[");
    for (size_t i = 0; i < summaries.size(); ++i) {
      const NoteSummary& s = summaries[i];
      std::printf("%s\n  {\"noteid\": %u, \"class\": %u, \"form\": %s, \"subject\": %s, \"items\": %zu}",
                  i == 0 ? "" : ",", static_cast<unsigned>(s.id), static_cast<unsigned>(s.note_class),
                  Json(s.form).c_str(), Json(s.subject).c_str(), s.items);
    }
    std::printf("%s]\n", summaries.empty() ? "" : "\n");
    return kExitOk;
  }
  for (const NoteSummary& s : summaries) {
    std::printf("%-10u %-20s %3zu items  %s\n", static_cast<unsigned>(s.id), s.form.c_str(), s.items,
                s.subject.c_str());
  }
  return kExitOk;
}

// --- commands ------------------------------------------------------------------------

int Create(const std::string& db_path, const std::vector<std::string>& args) {
  std::string title;
  std::string design_class;
  bool force = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--title" && i + 1 < args.size()) title = args[++i];
    else if (args[i] == "--class" && i + 1 < args.size()) design_class = args[++i];
    else if (args[i] == "--force") force = true;
    else return Usage("create: unexpected argument " + args[i]);
  }
  STATUS status = VtDbCreateWithInfo(db_path.c_str(), title.c_str(), design_class.c_str(), force ? TRUE : FALSE);
  if (status != NOERROR) return FailStatus("cannot create " + db_path, status);
  return kExitOk;
}

int List(const std::string& db_path, bool json) {
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  std::vector<NOTEID> ids;
  STATUS status = NSFSearch(db.get(), NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId, &ids, nullptr);
  if (status != NOERROR) return FailStatus("cannot list " + db_path, status);
  return PrintSummaries(db.get(), ids, json);
}

int Show(const std::string& db_path, const std::string& id_text, bool json, bool full) {
  NOTEID id = 0;
  if (!ParseNoteId(id_text, &id)) return Usage("not a note ID: " + id_text);
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  Note note;
  if (STATUS status = NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out())) {
    return FailStatus("cannot open note " + id_text + " of " + db_path, status);
  }
  ItemViews views;
  views.full = full;
  if (STATUS status = NSFItemScan(note.get(), CollectItem, &views)) return FailStatus("cannot read note " + id_text, status);
  const std::vector<ItemView>& items = views.items;
  WORD note_class = 0;
  NSFNoteGetInfo(note.get(), _NOTE_CLASS, &note_class);
  if (json) {
    std::printf("{\"noteid\": %u, \"class\": %u, \"items\": [", static_cast<unsigned>(id), static_cast<unsigned>(note_class));
    for (size_t i = 0; i < items.size(); ++i) {
      const ItemView& item = items[i];
      std::printf("%s\n  {\"name\": %s, \"type\": %s, \"type_code\": %u, \"flags\": %u, \"bytes\": %u, \"value\": ",
                  i == 0 ? "" : ",", Json(item.name).c_str(), Json(TypeName(item.type)).c_str(),
                  static_cast<unsigned>(item.type), static_cast<unsigned>(item.flags), static_cast<unsigned>(item.bytes));
      if (item.is_list) {
        std::printf("[");
        for (size_t e = 0; e < item.texts.size(); ++e) std::printf("%s%s", e == 0 ? "" : ", ", Json(item.texts[e]).c_str());
        std::printf("]}");
      } else if (item.is_number && !item.texts.empty()) {
        std::printf("%s}", item.texts[0].c_str());
      } else {
        std::printf("%s}", Json(item.texts.empty() ? "" : item.texts[0]).c_str());
      }
    }
    std::printf("%s]}\n", items.empty() ? "" : "\n");
    return kExitOk;
  }
  std::printf("note %u (class 0x%04x), %zu items\n", static_cast<unsigned>(id), static_cast<unsigned>(note_class), items.size());
  for (const ItemView& item : items) {
    std::string value;
    for (size_t e = 0; e < item.texts.size(); ++e) value += (e == 0 ? "" : " ; ") + OneLine(item.texts[e]);
    std::printf("%-20s %-11s %s\n", item.name.c_str(), TypeName(item.type), value.c_str());
  }
  return kExitOk;
}

int Search(const std::string& db_path, const std::string& formula, bool json) {
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  FORMULAHANDLE compiled = NULLHANDLE;
  WORD compiled_len = 0;
  STATUS compile_error = NOERROR;
  WORD line = 0, column = 0, offset = 0, length = 0;
  STATUS status = NSFFormulaCompile(nullptr, 0, formula.c_str(), static_cast<WORD>(formula.size()), &compiled,
                                    &compiled_len, &compile_error, &line, &column, &offset, &length);
  if (status != NOERROR) return FailStatus("formula does not compile", status);
  std::vector<NOTEID> ids;
  status = NSFSearch(db.get(), compiled, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId, &ids, nullptr);
  (void)OSMemFree(compiled);
  if (status != NOERROR) return FailStatus("search of " + db_path + " failed", status);
  return PrintSummaries(db.get(), ids, json);
}

// Sets one ITEM argument on the note.
int PutItem(NOTEHANDLE note, const std::string& arg) {
  size_t equals = arg.find('=');
  if (equals == std::string::npos || equals == 0) return Usage("put: not an item (Name=value): " + arg);
  std::string name = arg.substr(0, equals);
  std::string value = arg.substr(equals + 1);
  char kind = ' ';
  if (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
    kind = 'l';
    name.resize(name.size() - 2);
  } else if (name.back() == '#' || name.back() == '@') {
    kind = name.back();
    name.pop_back();
  }
  if (name.empty() || name.size() > MAXITEMNAME) return Usage("put: bad item name in " + arg);
  if (value.size() >= MAXWORD) return Fail("put: value of " + name + " too long");
  STATUS status = NOERROR;
  switch (kind) {
    case '#': {
      char* end = nullptr;
      errno = 0;
      double number = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || errno != 0) return Usage("put: not a number: " + arg);
      status = NSFItemSetNumber(note, name.c_str(), &number);
      break;
    }
    case '@': {
      TIMEDATE time{};
      if (value == "now") {
        OSCurrentTIMEDATE(&time);
      } else {
        char* cursor = value.data();
        status = ConvertTextToTIMEDATE(nullptr, nullptr, &cursor, static_cast<WORD>(value.size()), &time);
        if (status != NOERROR) return Usage("put: not a time (YYYY-MM-DD HH:MM:SS): " + arg);
      }
      status = NSFItemSetTime(note, name.c_str(), &time);
      break;
    }
    case 'l': {
      (void)NSFItemDelete(note, name.c_str(), static_cast<WORD>(name.size()));
      size_t start = 0;
      bool first = true;
      while (status == NOERROR && start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string entry = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!entry.empty()) {
          status = first ? NSFItemCreateTextList(note, name.c_str(), entry.c_str(), static_cast<WORD>(entry.size()))
                         : NSFItemAppendTextList(note, name.c_str(), entry.c_str(), static_cast<WORD>(entry.size()), TRUE);
          first = false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      break;
    }
    default: status = NSFItemSetText(note, name.c_str(), value.c_str(), static_cast<WORD>(value.size()));
  }
  if (status != NOERROR) return FailStatus("cannot set " + name, status);
  return kExitOk;
}

int Put(const std::string& db_path, const std::vector<std::string>& args) {
  NOTEID id = 0;
  std::vector<std::string> items;
  std::vector<std::string> attachments;
  std::string body_file;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--note" && i + 1 < args.size()) {
      if (!ParseNoteId(args[++i], &id)) return Usage("not a note ID: " + args[i]);
    } else if (args[i] == "--body" && i + 1 < args.size()) {
      body_file = args[++i];
    } else if (args[i] == "--attach" && i + 1 < args.size()) {
      attachments.push_back(args[++i]);
    } else {
      items.push_back(args[i]);
    }
  }
  if (items.empty() && attachments.empty() && body_file.empty()) return Usage("put: no items given");
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  Note note;
  STATUS status = id != 0 ? NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out()) : NSFNoteCreate(db.get(), note.out());
  if (status != NOERROR) return FailStatus(id != 0 ? "cannot open note " + std::to_string(id) : "cannot create a note", status);
  for (const std::string& item : items) {
    if (int result = PutItem(note.get(), item)) return result;
  }
  if (!body_file.empty()) {
    status = MailAddMessageBodyText(note.get(), MAIL_BODY_ITEM, body_file.c_str(), 0, nullptr, 0, nullptr);
    if (status != NOERROR) return FailStatus("cannot make the body from " + body_file, status);
  }
  for (const std::string& file : attachments) {
    std::string display = file.substr(file.find_last_of('/') + 1);
    status = NSFNoteAttachFile(note.get(), "$FILE", 5, file.c_str(), display.c_str(), COMPRESS_NONE);
    if (status != NOERROR) return FailStatus("cannot attach " + file, status);
  }
  if ((status = NSFNoteUpdate(note.get(), 0)) != NOERROR) return FailStatus("cannot save the note", status);
  NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
  std::printf("%u\n", static_cast<unsigned>(id));
  return kExitOk;
}

int Import(const std::string& db_path, const std::vector<std::string>& args) {
  std::string file;
  mail_import::ImportOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--rcpt" && i + 1 < args.size()) options.envelope_recipients.push_back(args[++i]);
    else if (file.empty()) file = args[i];
    else return Usage("import: unexpected argument " + args[i]);
  }
  if (file.empty()) return Usage("import: no message file given");
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  Note note;
  if (STATUS status = NSFNoteCreate(db.get(), note.out())) return FailStatus("cannot create a note", status);
  std::string reason;
  STATUS status = mail_import::ImportMailFile(note.get(), file.c_str(), options, &reason);
  if (status != NOERROR) return reason.empty() ? FailStatus("cannot import " + file, status) : Fail("cannot import " + reason);
  if ((status = NSFNoteUpdate(note.get(), 0)) != NOERROR) return FailStatus("cannot save the note", status);
  NOTEID id = 0;
  NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
  std::printf("%u\n", static_cast<unsigned>(id));
  return kExitOk;
}

int Extract(const std::string& db_path, const std::string& id_text, const std::string& directory) {
  NOTEID id = 0;
  if (!ParseNoteId(id_text, &id)) return Usage("not a note ID: " + id_text);
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  Note note;
  if (STATUS status = NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out())) {
    return FailStatus("cannot open note " + id_text + " of " + db_path, status);
  }
  int result = kExitOk;
  for (WORD number = 0;; ++number) {
    BLOCKID item{};
    char name[MAXPATH] = "";
    DWORD size = 0;
    if (!MailGetMessageAttachmentInfo(note.get(), number, &item, name, &size, nullptr, nullptr, nullptr, nullptr)) break;
    // The display name comes from the mail: keep only its last component so that it cannot
    // name a place outside DIR.
    std::string base = name;
    size_t slash = base.find_last_of("/\\");
    if (slash != std::string::npos) base.erase(0, slash + 1);
    if (base.empty() || base == "." || base == "..") base = "attachment" + std::to_string(number);
    std::string path = directory + "/" + base;
    STATUS status = MailExtractMessageAttachment(note.get(), item, path.c_str());
    if (status != NOERROR) {
      result = FailStatus("cannot extract " + base, status);
      continue;
    }
    std::printf("%s\t%u\n", path.c_str(), static_cast<unsigned>(size));
  }
  return result;
}

int Export(const std::string& db_path, const std::string& id_text, const std::string& file) {
  NOTEID id = 0;
  if (!ParseNoteId(id_text, &id)) return Usage("not a note ID: " + id_text);
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  Note note;
  if (STATUS status = NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out())) {
    return FailStatus("cannot open note " + id_text + " of " + db_path, status);
  }
  std::string reason;
  STATUS status;
  if (file.empty() || file == "-") {
    status = mail_export::ExportMail(note.get(), [](std::string_view piece) {
      return std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size();
    }, &reason);
    if (std::fflush(stdout) != 0 && status == NOERROR) status = ERR_FILE_IO;
  } else {
    status = mail_export::ExportMailFile(note.get(), file.c_str(), &reason);
  }
  if (status != NOERROR) {
    return FailStatus("cannot export note " + id_text + (reason.empty() ? "" : " (" + reason + ")"), status);
  }
  return kExitOk;
}

int Delete(const std::string& db_path, const std::string& id_text) {
  NOTEID id = 0;
  if (!ParseNoteId(id_text, &id)) return Usage("not a note ID: " + id_text);
  Database db;
  if (STATUS status = db.Open(db_path)) return FailStatus("cannot open " + db_path, status);
  if (STATUS status = NSFNoteDelete(db.get(), id, 0)) return FailStatus("cannot delete note " + id_text, status);
  return kExitOk;
}

int Run(std::vector<std::string> args) {
  if (args.empty()) return Usage("no command given");
  const std::string command = args[0];
  if (args.size() < 2) return Usage(command + ": no database given");
  const std::string db_path = args[1];
  std::vector<std::string> rest(args.begin() + 2, args.end());
  bool json = false;
  bool full = false;
  if (command == "ls" || command == "show" || command == "search") {
    for (auto it = rest.begin(); it != rest.end();) {
      if (*it == "--json") {
        json = true;
        it = rest.erase(it);
      } else if (*it == "--full" && command == "show") {
        full = true;
        it = rest.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (command == "create") return Create(db_path, rest);
  if (command == "ls") return rest.empty() ? List(db_path, json) : Usage("ls: unexpected argument " + rest[0]);
  if (command == "show") return rest.size() == 1 ? Show(db_path, rest[0], json, full) : Usage("show DB NOTEID");
  if (command == "search") return rest.size() == 1 ? Search(db_path, rest[0], json) : Usage("search DB 'SELECT ...'");
  if (command == "put") return Put(db_path, rest);
  if (command == "import") return Import(db_path, rest);
  if (command == "extract") return rest.size() == 2 ? Extract(db_path, rest[0], rest[1]) : Usage("extract DB NOTEID DIR");
  if (command == "export") {
    return rest.size() == 1 || rest.size() == 2 ? Export(db_path, rest[0], rest.size() == 2 ? rest[1] : "")
                                                : Usage("export DB NOTEID [FILE]");
  }
  if (command == "delete") return rest.size() == 1 ? Delete(db_path, rest[0]) : Usage("delete DB NOTEID");
  return Usage("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--root" && args.empty()) {
      if (i + 1 >= argc) return Usage("--root needs a directory");
      setenv("VT_SYSROOT", argv[++i], 1);
      continue;
    }
    args.push_back(std::move(arg));
  }
  if (args.empty()) return Usage("no command given");
  if (STATUS status = NotesInitExtended(argc, argv)) {
    return FailStatus("Unable to Initialize Notes!", status);
  }
  int result = Run(std::move(args));
  NotesTerm();
  return result;
}
