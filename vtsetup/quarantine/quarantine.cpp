// quarantine.cpp - see quarantine.h.
#include "vtsetup/quarantine/quarantine.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "foundation/config.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/notes/mail_export.h"
#include "platform/notes/mail_import.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/notes_handles.h"

namespace vtquarantine {
namespace {

using vtnotes::DbOwner;
using vtnotes::NoteOwner;

// The byte size VantrelID is read with, as the extension reads it.
constexpr std::size_t kVantrelIdBytes = 258;
// VTADMINDB is read whole: the registry reader grows its buffer up to this.
constexpr std::size_t kDatabaseListBytes = 1 << 20;
// Text items are read into buffers of the largest size a Notes text item has.
constexpr WORD kItemTextBytes = MAXWORD;
constexpr long long kSecondsPerDay = 86400;
constexpr const char* kMutexName = "VtQuarantineMutex";
// Kept originals: messages, as the extension writes them, and databases, as it wrote them
// before.
constexpr std::string_view kKeptMessageSuffix = ".eml";
constexpr std::string_view kKeptDatabaseSuffix = ".nsf";

std::string StatusText(STATUS status) {
  char text[MAXSPRINTF] = "";
  (void)OSLoadString(NULLHANDLE, status, text, sizeof text);
  char code[32];
  std::snprintf(code, sizeof code, " (status %u)", static_cast<unsigned>(ERR(status)));
  return std::string(text[0] != '\0' ? text : "Notes error") + code;
}

bool Fail(std::string* error_r, const std::string& reason) {
  if (error_r != nullptr) *error_r = reason;
  return false;
}

bool FailStatus(std::string* error_r, const std::string& what, STATUS status) {
  return Fail(error_r, what + ": " + StatusText(status));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string ItemText(NOTEHANDLE note, const char* name) {
  std::string text(kItemTextBytes, '\0');
  WORD length = NSFItemGetText(note, name, text.data(), kItemTextBytes);
  text.resize(length);
  return text;
}

std::vector<std::string> ItemTextList(NOTEHANDLE note, const char* name) {
  std::vector<std::string> values;
  std::string value(kItemTextBytes, '\0');
  const WORD count = NSFItemGetTextListEntries(note, name);
  for (WORD i = 0; i < count; ++i) {
    WORD length = NSFItemGetTextListEntry(note, name, i, value.data(), kItemTextBytes);
    if (length > 0) values.emplace_back(value.data(), length);
  }
  return values;
}

bool HasItem(NOTEHANDLE note, const char* name) {
  return NSFItemIsPresent(note, name, static_cast<WORD>(std::char_traits<char>::length(name))) !=
         FALSE;
}

void DeleteItem(NOTEHANDLE note, const char* name) {
  // Absent items are the usual case: the status says only that.
  (void)NSFItemDelete(note, name, static_cast<WORD>(std::char_traits<char>::length(name)));
}

long long ItemUnixTime(NOTEHANDLE note, const char* name) {
  TIMEDATE time{};
  return NSFItemGetTime(note, name, &time) ? VtTimeDateToUnix(time) : 0;
}

// Who the mail was meant for: the router's list, else the addressing items, as the router
// itself would take them.
std::vector<std::string> IntendedRecipients(NOTEHANDLE note) {
  std::vector<std::string> recipients = ItemTextList(note, MAIL_RECIPIENTS_ITEM);
  if (!recipients.empty()) return recipients;
  for (const char* item : {MAIL_SENDTO_ITEM, MAIL_COPYTO_ITEM, MAIL_BLINDCOPYTO_ITEM}) {
    for (std::string& entry : ItemTextList(note, item)) {
      if (!entry.empty()) recipients.push_back(std::move(entry));
    }
  }
  return recipients;
}

// The mail a copy was made from, for a copy made before copies carried kOriginalMailItem:
// the kept file it was imported from, else the posting time, sender and subject, which the
// copies of one mail share.
std::string EarlierCopyOrigin(NOTEHANDLE note) {
  const std::string imported = ItemText(note, kImportedFromItem);
  if (!imported.empty()) return kImportedOriginPrefix + imported;
  TIMEDATE posted{};
  (void)NSFItemGetTime(note, MAIL_POSTEDDATE_ITEM, &posted);
  char time[24];
  std::snprintf(time, sizeof time, "%08X%08X", static_cast<unsigned>(posted.Innards[1]),
                static_cast<unsigned>(posted.Innards[0]));
  return std::string("posted:") + time + "|" + ItemText(note, MAIL_FROM_ITEM) + "|" +
         ItemText(note, MAIL_SUBJECT_ITEM);
}

}  // namespace

std::string CopyOrigin(NOTEHANDLE note, const std::string& vantrel_id) {
  WORD note_class = 0;
  NSFNoteGetInfo(note, _NOTE_CLASS, &note_class);
  if ((note_class & NOTE_CLASS_DOCUMENT) == 0 || vantrel_id.empty() ||
      ItemText(note, "X-Vantrel") != vantrel_id)
    return {};
  // Only the copy step writes the origin: warning mails and released mails carry the mark
  // too, never the origin.
  if (HasItem(note, kOriginalMailItem)) return ItemText(note, kOriginalMailItem);
  // Copies made before: no form (the copy step never wrote one, and every mail the system
  // sends has one), or the virus or the kept file that only a copy names.
  if (!HasItem(note, MAIL_FORM_ITEM) || HasItem(note, kVirusNameItem) ||
      HasItem(note, kImportedFromItem))
    return EarlierCopyOrigin(note);
  return {};
}

namespace {

CopySummary Summarise(NOTEHANDLE note, const CopyId& id, std::string origin) {
  CopySummary copy;
  copy.id = id;
  copy.origin = std::move(origin);
  TIMEDATE created{};
  NSFNoteGetInfo(note, _NOTE_OID, &created);
  copy.copied_unix = VtTimeDateToUnix(created);
  copy.posted_unix = ItemUnixTime(note, MAIL_POSTEDDATE_ITEM);
  if (copy.posted_unix == 0) copy.posted_unix = copy.copied_unix;
  copy.from = ItemText(note, MAIL_FROM_ITEM);
  copy.recipients = IntendedRecipients(note);
  copy.subject = ItemText(note, MAIL_SUBJECT_ITEM);
  copy.virus = ItemText(note, kVirusNameItem);
  copy.size_bytes = VtNoteSize(note);
  copy.imported_from = ItemText(note, kImportedFromItem);
  copy.released_by = ItemText(note, kReleasedByItem);
  copy.released_unix = ItemUnixTime(note, kReleasedDateItem);
  copy.released_as = ItemText(note, kReleasedCopyItem);
  for (WORD number = 0;; ++number) {
    BLOCKID item{};
    char name[MAXPATH] = "";
    DWORD size = 0;
    if (!MailGetMessageAttachmentInfo(note, number, &item, name, &size, nullptr, nullptr, nullptr,
                                      nullptr))
      break;
    copy.attachments.emplace_back(name);
  }
  return copy;
}

STATUS CollectId(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH)
    static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
  return NOERROR;
}

bool DocumentIds(DBHANDLE db, std::vector<NOTEID>* ids_r, const std::string& name,
                 std::string* error_r) {
  STATUS status = NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId,
                            ids_r, nullptr);
  return status == NOERROR || FailStatus(error_r, "Unable to read " + name, status);
}

bool KnownDatabase(const Settings& settings, const std::string& name) {
  for (const std::string& database : settings.databases) {
    if (EqualNoCase(database, name)) return true;
  }
  return false;
}

// One copy, opened for a command: the database and the note, checked to be a copy.
struct OpenCopy {
  CopyId id;
  DbOwner db;
  NoteOwner note;
  std::string origin;
};

bool OpenQuarantineCopy(const Settings& settings, const CopyId& id, OpenCopy* open,
                        std::string* error_r) {
  const std::string name = FormatId(id);
  if (!KnownDatabase(settings, id.database))
    return Fail(error_r, id.database + " is not a quarantine database (VTADMINDB)");
  STATUS status = NSFDbOpen(id.database.c_str(), open->db.out());
  if (status != NOERROR) return FailStatus(error_r, "Unable to open " + id.database, status);
  status = NSFNoteOpen(open->db.get(), id.note_id, OPEN_DEFAULT, open->note.out());
  if (ERR(status) == ERR_INVALID_NOTE || ERR(status) == ERR_NOTE_DELETED)
    return Fail(error_r, name + " does not exist");
  if (status != NOERROR) return FailStatus(error_r, "Unable to open " + name, status);
  open->origin = CopyOrigin(open->note.get(), settings.vantrel_id);
  if (open->origin.empty())
    return Fail(error_r, name + " is not a quarantine copy of this installation");
  open->id = id;
  return true;
}

// Every other copy of the mail `origin`, in every quarantine database, opened. A database
// that cannot be read fails the whole search: a copy there might be released already.
bool OpenCopiesOf(const Settings& settings, const std::string& origin, const CopyId& except,
                  std::vector<std::unique_ptr<OpenCopy>>* copies_r, std::string* error_r) {
  for (const std::string& database : settings.databases) {
    DbOwner db;
    STATUS status = NSFDbOpen(database.c_str(), db.out());
    if (status != NOERROR) return FailStatus(error_r, "Unable to open " + database, status);
    std::vector<NOTEID> ids;
    if (!DocumentIds(db.get(), &ids, database, error_r)) return false;
    for (NOTEID note_id : ids) {
      if (note_id == except.note_id && EqualNoCase(database, except.database)) continue;
      {
        NoteOwner note;
        if (NSFNoteOpen(db.get(), note_id, OPEN_DEFAULT, note.out()) != NOERROR) continue;
        if (CopyOrigin(note.get(), settings.vantrel_id) != origin) continue;
      }
      // Each copy holds a database handle of its own for as long as its note is open.
      auto copy = std::make_unique<OpenCopy>();
      copy->id = CopyId{database, note_id};
      copy->origin = origin;
      status = NSFDbOpen(database.c_str(), copy->db.out());
      if (status == NOERROR)
        status = NSFNoteOpen(copy->db.get(), note_id, OPEN_DEFAULT, copy->note.out());
      if (status != NOERROR)
        return FailStatus(error_r, "Unable to open " + FormatId(copy->id), status);
      copies_r->push_back(std::move(copy));
    }
  }
  return true;
}

// The hold on "VtQuarantineMutex" for one changing command.
class CommandLock {
 public:
  CommandLock() {
    HANDLE handle = nullptr;
    if (foundation::OpenMutexForUse(handle, false, kMutexName) == 0) mutex_.reset(handle);
    if (mutex_.valid()) hold_.emplace(mutex_.get());
  }
  [[nodiscard]] bool held() const { return hold_.has_value() && hold_->held(); }

 private:
  foundation::UniqueHandle mutex_;
  std::optional<foundation::MutexHold> hold_;
};

bool LockFailed(std::string* error_r) {
  return Fail(error_r, std::string("Unable to take the named mutex ") + kMutexName);
}

}  // namespace

bool LoadSettings(Settings* settings_r, std::string* error_r) {
  Settings settings;
  if (!foundation::FindInstallDirectory(settings.install_directory))
    return Fail(error_r,
                "The product's install directory is not found (WIN.INI [Vantrel] "
                "InstallDirectory)");
  const std::string ini =
      foundation::JoinPath(settings.install_directory, foundation::kProductIniName);
  settings.vantrel_id =
      foundation::ReadIniValue(foundation::kGeneralSection, "VantrelID", "", ini, kVantrelIdBytes);
  foundation::TrimBoth(settings.vantrel_id);
  if (settings.vantrel_id.empty())
    return Fail(error_r,
                "vantrel.ini [General] has no VantrelID: the extension has not run on "
                "this installation yet, so no quarantine copy can be recognised");
  std::string list;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "VTADMINDB", list,
                                     kDefaultQuarantineDb, kDatabaseListBytes);
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    foundation::TrimBoth(entry);
    if (!entry.empty() && !KnownDatabase(settings, entry)) settings.databases.push_back(entry);
    start = end + 1;
  }
  if (settings.databases.empty()) settings.databases.push_back(kDefaultQuarantineDb);
  *settings_r = std::move(settings);
  return true;
}

std::string FormatId(const CopyId& id) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(id.note_id));
  return id.database + ":" + hex;
}

bool ParseId(std::string_view text, const Settings& settings, CopyId* id_r, std::string* error_r) {
  const std::string given(text);
  std::string database;
  std::string_view number = text;
  // The last colon: a database path may hold one of its own (server!!file does not).
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    database = std::string(text.substr(0, colon));
    number = text.substr(colon + 1);
    bool found = false;
    for (const std::string& known : settings.databases) {
      if (EqualNoCase(known, database)) {
        database = known;
        found = true;
      }
    }
    if (!found)
      return Fail(error_r,
                  "\"" + given + "\": " + database + " is not a quarantine database (VTADMINDB)");
  } else if (settings.databases.size() == 1) {
    database = settings.databases.front();
  } else {
    return Fail(error_r, "\"" + given +
                             "\": name the database too (database:noteid), there "
                             "is more than one quarantine database");
  }
  if (number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X'))
    number.remove_prefix(2);
  unsigned long value = 0;
  if (number.empty() || number.size() > 8)
    return Fail(error_r, "\"" + given + "\" is not a copy ID");
  for (char c : number) {
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) return Fail(error_r, "\"" + given + "\" is not a copy ID");
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  if (value == 0) return Fail(error_r, "\"" + given + "\" is not a copy ID");
  id_r->database = database;
  id_r->note_id = static_cast<NOTEID>(value);
  return true;
}

bool ListCopies(const Settings& settings, std::vector<CopySummary>* copies_r,
                std::string* error_r) {
  bool all_read = true;
  std::string failures;
  for (const std::string& database : settings.databases) {
    DbOwner db;
    std::string reason;
    STATUS status = NSFDbOpen(database.c_str(), db.out());
    std::vector<NOTEID> ids;
    if (status != NOERROR) {
      FailStatus(&reason, "Unable to open " + database, status);
    } else if (DocumentIds(db.get(), &ids, database, &reason)) {
      for (NOTEID id : ids) {
        NoteOwner note;
        if (NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out()) != NOERROR) continue;  // gone
        std::string origin = CopyOrigin(note.get(), settings.vantrel_id);
        if (!origin.empty())
          copies_r->push_back(Summarise(note.get(), CopyId{database, id}, std::move(origin)));
      }
      continue;
    }
    all_read = false;
    failures += (failures.empty() ? "" : "; ") + reason;
  }
  if (!all_read) return Fail(error_r, failures);
  return true;
}

bool ShowCopy(const Settings& settings, const CopyId& id, CopySummary* copy_r,
              std::string* error_r) {
  OpenCopy open;
  if (!OpenQuarantineCopy(settings, id, &open, error_r)) return false;
  *copy_r = Summarise(open.note.get(), id, open.origin);
  return true;
}

bool ExportCopy(const Settings& settings, const CopyId& id, const std::string& file,
                std::string* error_r) {
  if (file.empty()) return Fail(error_r, "No file named to export into");
  OpenCopy open;
  if (!OpenQuarantineCopy(settings, id, &open, error_r)) return false;
  {
    // Made here first, exclusively: an existing file is never overwritten.
    foundation::UniqueHandle created(CreateFile(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!created.valid()) return Fail(error_r, file + " exists already or cannot be created");
  }
  std::string reason;
  STATUS status = mail_export::ExportMailFile(open.note.get(), file.c_str(), &reason);
  if (status != NOERROR) {
    (void)DeleteFile(file.c_str());
    return FailStatus(error_r,
                      "Unable to write " + FormatId(id) + " into " + file +
                          (reason.empty() ? "" : " (" + reason + ")"),
                      status);
  }
  return true;
}

namespace {

// Writes or removes the release record of one copy.
STATUS RecordRelease(NOTEHANDLE copy, const std::string& released_by, const TIMEDATE& when,
                     const std::string& released_as) {
  STATUS status = NSFItemSetText(copy, kReleasedByItem, released_by.c_str(), MAXWORD);
  if (status == NOERROR) status = NSFItemSetTime(copy, kReleasedDateItem, &when);
  if (status == NOERROR) status = NSFItemSetText(copy, kReleasedCopyItem, released_as.c_str(), MAXWORD);
  if (status == NOERROR) status = NSFNoteUpdate(copy, 0);
  return status;
}

STATUS ForgetRelease(NOTEHANDLE copy) {
  for (const char* item : {kReleasedByItem, kReleasedDateItem, kReleasedCopyItem})
    DeleteItem(copy, item);
  return NSFNoteUpdate(copy, 0);
}

}  // namespace

bool ReleaseCopy(const Settings& settings, const CopyId& id, const std::string& released_by,
                 NOTEID* mailbox_id_r, std::string* error_r) {
  const std::string name = FormatId(id);
  if (released_by.empty())
    return Fail(error_r, "No name to record the release under (give --by NAME)");
  CommandLock lock;
  if (!lock.held()) return LockFailed(error_r);
  // The copy asked for first, then every other copy of the same mail: the mail is released
  // once, whichever copy is named.
  std::vector<std::unique_ptr<OpenCopy>> copies;
  copies.push_back(std::make_unique<OpenCopy>());
  if (!OpenQuarantineCopy(settings, id, copies.front().get(), error_r)) return false;
  NOTEHANDLE copy = copies.front()->note.get();
  std::string reason;
  if (!OpenCopiesOf(settings, copies.front()->origin, id, &copies, &reason))
    return Fail(error_r, "Unable to look for the other copies of " + name + " (" + reason +
                             "): the release is refused, since one of them may have been "
                             "released already");
  for (const auto& other : copies) {
    NOTEHANDLE note = other->note.get();
    if (!HasItem(note, kReleasedByItem)) continue;
    std::string what = name + " was released already by " + ItemText(note, kReleasedByItem);
    const std::string as = ItemText(note, kReleasedCopyItem);
    if (other.get() != copies.front().get()) what += " (as " + FormatId(other->id) + ")";
    else if (!as.empty() && !EqualNoCase(as, name)) what += " (as " + as + ")";
    return Fail(error_r, what + ": a mail is released only once");
  }
  if (IntendedRecipients(copy).empty())
    return Fail(error_r, name + " names no recipient to release it to");

  // The mail as it goes out: the copy without the quarantine's own records, so that it is
  // never taken for a copy where it is delivered.
  NoteOwner mail;
  STATUS status = NSFNoteCopy(copy, mail.out());
  if (status != NOERROR) return FailStatus(error_r, "Unable to copy " + name, status);
  for (const char* item : {kVirusNameItem, kImportedFromItem, kReleasedByItem, kReleasedDateItem,
                           kReleasedCopyItem, kOriginalMailItem})
    DeleteItem(mail.get(), item);
  if (!HasItem(mail.get(), MAIL_FORM_ITEM)) {
    status = NSFItemSetText(mail.get(), MAIL_FORM_ITEM, "Memo", MAXWORD);
    if (status != NOERROR) return FailStatus(error_r, "Unable to prepare " + name, status);
  }
  // The installation's mark is what lets the extension pass the mail unscanned; the copy
  // carries it already, set again in case a kept original brought another value.
  status = NSFItemSetText(mail.get(), "X-Vantrel", settings.vantrel_id.c_str(), MAXWORD);
  if (status != NOERROR) return FailStatus(error_r, "Unable to prepare " + name, status);

  DbOwner box;
  status = NSFDbOpen(kRouterMailBox, box.out());
  if (status != NOERROR)
    return FailStatus(error_r, std::string("Unable to open the router mail box ") + kRouterMailBox,
                      status);

  // The release is recorded in every copy before the mail goes out: a failure between the
  // two leaves copies marked released for a mail that was not sent, which an administrator
  // sees, rather than a mail that can be sent twice.
  TIMEDATE now{};
  OSCurrentTIMEDATE(&now);
  std::size_t recorded = 0;
  for (; recorded < copies.size() && status == NOERROR; ++recorded) {
    status = RecordRelease(copies[recorded]->note.get(), released_by, now, name);
    if (status != NOERROR) reason = "Unable to record the release in " + FormatId(copies[recorded]->id);
  }
  if (status == NOERROR) {
    DBHANDLE target = box.get();
    NSFNoteSetInfo(mail.get(), _NOTE_DB, &target);
    status = NSFNoteUpdate(mail.get(), 0);
    if (status != NOERROR) reason = std::string("Unable to put ") + name + " into " + kRouterMailBox;
  }
  if (status != NOERROR) {
    std::string stuck;
    for (std::size_t i = 0; i < recorded; ++i) {
      if (ForgetRelease(copies[i]->note.get()) != NOERROR)
        stuck += (stuck.empty() ? "" : ", ") + FormatId(copies[i]->id);
    }
    reason += ": " + StatusText(status);
    if (!stuck.empty())
      reason += "; " + stuck + " stay marked released: remove ReleasedBy there to try again";
    return Fail(error_r, reason);
  }
  if (mailbox_id_r != nullptr) NSFNoteGetInfo(mail.get(), _NOTE_ID, mailbox_id_r);
  return true;
}

bool DeleteCopy(const Settings& settings, const CopyId& id, std::string* error_r) {
  CommandLock lock;
  if (!lock.held()) return LockFailed(error_r);
  OpenCopy open;
  if (!OpenQuarantineCopy(settings, id, &open, error_r)) return false;
  (void)open.note.Close();
  STATUS status = NSFNoteDelete(open.db.get(), id.note_id, 0);
  return status == NOERROR || FailStatus(error_r, "Unable to delete " + FormatId(id), status);
}

bool PurgeCopies(const Settings& settings, long days, long long now_unix, int* deleted_r,
                 std::string* error_r) {
  *deleted_r = 0;
  if (days < 0) return Fail(error_r, "The number of days cannot be negative");
  CommandLock lock;
  if (!lock.held()) return LockFailed(error_r);
  const long long cutoff = now_unix - static_cast<long long>(days) * kSecondsPerDay;
  std::vector<CopySummary> copies;
  std::string reason;
  bool all_read = ListCopies(settings, &copies, &reason);
  std::string failures = all_read ? "" : reason;
  for (const CopySummary& copy : copies) {
    if (copy.copied_unix >= cutoff) continue;
    DbOwner db;
    STATUS status = NSFDbOpen(copy.id.database.c_str(), db.out());
    if (status == NOERROR) status = NSFNoteDelete(db.get(), copy.id.note_id, 0);
    if (status != NOERROR) {
      failures += (failures.empty() ? "" : "; ") +
                  ("Unable to delete " + FormatId(copy.id) + ": " + StatusText(status));
      continue;
    }
    ++*deleted_r;
  }
  if (!failures.empty()) return Fail(error_r, failures);
  return true;
}

namespace {

// What the copies a database holds came from: their ImportedFrom values and their origins.
bool ImportedKeys(const Settings& settings, DBHANDLE db, const std::string& name,
                  std::set<std::string>* keys_r, std::string* error_r) {
  std::vector<NOTEID> ids;
  if (!DocumentIds(db, &ids, name, error_r)) return false;
  for (NOTEID id : ids) {
    NoteOwner note;
    if (NSFNoteOpen(db, id, OPEN_DEFAULT, note.out()) != NOERROR) continue;
    std::string origin = CopyOrigin(note.get(), settings.vantrel_id);
    if (origin.empty()) continue;
    keys_r->insert(std::move(origin));
    std::string key = ItemText(note.get(), kImportedFromItem);
    if (!key.empty()) keys_r->insert(std::move(key));
  }
  return true;
}

// Makes the new note of one imported mail in `db`; the caller marks and stores it.
using MakeNote = std::function<STATUS(DBHANDLE db, NoteOwner* note_r, std::string* reason_r)>;

// Stores one kept mail in every database that holds neither the file `key` nor a copy of
// the mail `origin` yet (the copy that failed may have been made in some databases).
bool StoreInEveryDatabase(const Settings& settings, const std::string& key,
                          const std::string& origin, const MakeNote& make,
                          std::map<std::string, std::set<std::string>>& keys,
                          std::string* error_r) {
  for (const std::string& database : settings.databases) {
    std::set<std::string>& held = keys[database];
    if (held.count(key) != 0 || held.count(origin) != 0) continue;
    DbOwner db;
    STATUS status = NSFDbOpen(database.c_str(), db.out());
    if (status != NOERROR) return FailStatus(error_r, "Unable to open " + database, status);
    NoteOwner copy;
    std::string reason;
    status = make(db.get(), &copy, &reason);
    if (status == NOERROR && IntendedRecipients(copy.get()).empty() &&
        ItemText(copy.get(), MAIL_FROM_ITEM).empty())
      return Fail(error_r, "it holds no mail (no sender, no recipient)");
    if (status == NOERROR)
      status = NSFItemSetText(copy.get(), "X-Vantrel", settings.vantrel_id.c_str(), MAXWORD);
    if (status == NOERROR)
      status = NSFItemSetText(copy.get(), kImportedFromItem, key.c_str(), MAXWORD);
    if (status == NOERROR)
      status = NSFItemSetText(copy.get(), kOriginalMailItem, origin.c_str(), MAXWORD);
    if (status == NOERROR) status = NSFNoteUpdate(copy.get(), 0);
    if (status != NOERROR)
      return FailStatus(
          error_r, "Unable to write into " + database + (reason.empty() ? "" : " (" + reason + ")"),
          status);
    held.insert(key);
    held.insert(origin);
  }
  return true;
}

// The record the extension wrote beside a kept message; empty for one kept without it.
vtnotes::KeptMailRecord ReadKeptRecord(const std::string& message_path) {
  std::ifstream in(message_path + vtnotes::kKeptRecordSuffix, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return vtnotes::ParseKeptMailRecord(text);
}

// A kept message (.eml): the mail as it arrived, read in as the server reads incoming mail,
// with what its record adds: the router's recipients, the virus and the mail's identity.
bool ImportKeptMessage(const Settings& settings, const std::string& path,
                       const std::string& file_name,
                       std::map<std::string, std::set<std::string>>& keys, std::string* error_r) {
  const vtnotes::KeptMailRecord record = ReadKeptRecord(path);
  const MakeNote make = [&path, &record](DBHANDLE db, NoteOwner* note_r, std::string* reason_r) {
    mail_import::ImportOptions options;
    options.envelope_recipients = record.recipients;
    STATUS status = NSFNoteCreate(db, note_r->out());
    if (status == NOERROR)
      status = mail_import::ImportMailFile(note_r->get(), path.c_str(), options, reason_r);
    if (status == NOERROR && !record.virus.empty())
      status = NSFItemSetText(note_r->get(), kVirusNameItem, record.virus.c_str(), MAXWORD);
    return status;
  };
  return StoreInEveryDatabase(settings, file_name,
                              record.origin.empty() ? kImportedOriginPrefix + file_name
                                                    : record.origin,
                              make, keys, error_r);
}

// A kept database (.nsf), as the extension wrote them before it kept messages: every
// document of it, copied whole.
bool ImportKeptDatabase(const Settings& settings, const std::string& path,
                        const std::string& file_name,
                        std::map<std::string, std::set<std::string>>& keys, std::string* error_r) {
  DbOwner kept;
  STATUS status = NSFDbOpen(path.c_str(), kept.out());
  if (status != NOERROR) return FailStatus(error_r, "Unable to open it", status);
  std::vector<NOTEID> ids;
  if (!DocumentIds(kept.get(), &ids, file_name, error_r)) return false;
  if (ids.empty()) return Fail(error_r, "it holds no mail");
  for (NOTEID id : ids) {
    char hex[16];
    std::snprintf(hex, sizeof hex, ":%X", static_cast<unsigned>(id));
    NoteOwner original;
    status = NSFNoteOpen(kept.get(), id, OPEN_DEFAULT, original.out());
    if (status != NOERROR)
      return FailStatus(error_r, std::string("Unable to read note") + hex, status);
    const MakeNote make = [&original](DBHANDLE db, NoteOwner* note_r, std::string*) {
      STATUS copied = NSFNoteCopy(original.get(), note_r->out());
      if (copied == NOERROR) NSFNoteSetInfo(note_r->get(), _NOTE_DB, &db);
      return copied;
    };
    if (!StoreInEveryDatabase(settings, file_name + hex, kImportedOriginPrefix + file_name + hex,
                              make, keys, error_r))
      return false;
  }
  return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

}  // namespace

bool ImportKeptMail(const Settings& settings, ImportReport* report_r) {
  CommandLock lock;
  if (!lock.held()) {
    std::string reason;
    LockFailed(&reason);
    report_r->failed.push_back(reason);
    return false;
  }
  const std::string folder =
      foundation::JoinPath(settings.install_directory, vtnotes::kKeptMailFolder);
  std::vector<std::string> files;
  WIN32_FIND_DATA found{};
  HANDLE search = FindFirstFile(foundation::JoinPath(folder, "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          (EndsWithNoCase(name, kKeptMessageSuffix) || EndsWithNoCase(name, kKeptDatabaseSuffix)))
        files.push_back(name);
    } while (FindNextFile(search, &found));
    FindClose(search);
  }

  // What each database holds already, read once: a file whose removal failed last time is
  // then recognised and only removed.
  std::map<std::string, std::set<std::string>> keys;
  for (const std::string& database : settings.databases) {
    DbOwner db;
    std::string reason;
    STATUS status = NSFDbOpen(database.c_str(), db.out());
    if (status != NOERROR) FailStatus(&reason, "Unable to open " + database, status);
    if (status != NOERROR ||
        !ImportedKeys(settings, db.get(), database, &keys[database], &reason)) {
      report_r->failed.push_back(reason);
      return false;
    }
  }
  for (const std::string& file_name : files) {
    const std::string path = foundation::JoinPath(folder, file_name);
    std::string reason;
    const bool message = EndsWithNoCase(file_name, kKeptMessageSuffix);
    const bool stored = message ? ImportKeptMessage(settings, path, file_name, keys, &reason)
                                : ImportKeptDatabase(settings, path, file_name, keys, &reason);
    if (!stored) {
      report_r->failed.push_back(file_name + ": " + reason);
      continue;
    }
    // Removed only now that every database holds it; a removal that fails is made by the
    // next import, which finds the mail held already.
    bool removed = true;
    std::string why;
    if (message) {
      removed = DeleteFile(path.c_str()) != FALSE;
      why = "the file system refused";
      // Its record goes with it; one left behind is never read again.
      if (removed) (void)DeleteFile((path + vtnotes::kKeptRecordSuffix).c_str());
    } else {
      STATUS status = NSFDbDelete(path.c_str());
      removed = status == NOERROR;
      if (!removed) why = StatusText(status);
    }
    if (!removed) {
      report_r->failed.push_back(file_name + ": imported, but it could not be removed (" + why +
                                 "); the next import only removes it");
      continue;
    }
    report_r->imported.push_back(file_name);
  }
  return report_r->failed.empty();
}

}  // namespace vtquarantine
