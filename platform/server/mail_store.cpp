// mail_store.cpp - the mail note written into mail.box.
#include "platform/server/mail_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/notes/mail_import.h"

namespace vtserver {
namespace {

// Mail box handles kept open between mails. Opening a database makes a new connection,
// reads its schema and prepares every statement anew: a fifth of the SMTP task's time for a
// small mail. A handle serves one thread at a time. Before a kept handle is used again the
// box's file is looked at: one that was replaced or removed since (another inode, or none)
// is opened afresh, so no mail is ever written into a file that has left the data
// directory.
class BoxHandles {
 public:
  static constexpr std::size_t kMaxKept = 16;

  STATUS Take(const char* mail_box, DBHANDLE* db_r) {
    const std::string key = Key(mail_box);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if (it->key != key) continue;
        Kept kept = *it;
        idle_.erase(it);
        if (StillServes(kept)) {
          *db_r = kept.db;
          return NOERROR;
        }
        (void)NSFDbClose(kept.db);
        break;
      }
    }
    return NSFDbOpen(mail_box, db_r);
  }

  // Keeps the handle for the next mail, or closes it (after a failure, or when enough are
  // kept already).
  void Give(const char* mail_box, DBHANDLE db, bool keep) {
    Kept kept{Key(mail_box), db, {}, {}};
    char canonical[MAXPATH] = "";
    char expanded[MAXPATH] = "";
    struct stat info {};
    if (keep && NSFDbPathGet(db, canonical, expanded) == NOERROR &&
        ::stat(expanded, &info) == 0) {
      kept.path = expanded;
      kept.inode = {info.st_dev, info.st_ino};
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_.size() < kMaxKept) {
        idle_.push_back(std::move(kept));
        return;
      }
    }
    (void)NSFDbClose(db);
  }

  void CloseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Kept& kept : idle_) (void)NSFDbClose(kept.db);
    idle_.clear();
  }

 private:
  struct Kept {
    std::string key;   // the data directory and the box's name: a test may change machines
    DBHANDLE db;
    std::string path;  // the file the handle was opened on
    std::pair<dev_t, ino_t> inode;
  };

  static std::string Key(const char* mail_box) {
    char data[MAXPATH] = "";
    OSGetDataDirectory(data);
    return std::string(data) + "|" + mail_box;
  }

  // The handle is still open (a runtime ended and started again drops every handle) and its
  // file is still the box's.
  static bool StillServes(const Kept& kept) {
    char canonical[MAXPATH] = "";
    char expanded[MAXPATH] = "";
    struct stat info {};
    return NSFDbPathGet(kept.db, canonical, expanded) == NOERROR && kept.path == expanded &&
           ::stat(expanded, &info) == 0 &&
           std::make_pair(info.st_dev, info.st_ino) == kept.inode;
  }

  std::mutex mutex_;
  std::vector<Kept> idle_;
};

BoxHandles& KeptBoxes() {
  static BoxHandles* handles = new BoxHandles;  // closed by CloseMailBoxes, never destroyed
  return *handles;
}

// Takes a box handle for one mail and gives it back on every path.
class BoxHandle {
 public:
  explicit BoxHandle(const char* mail_box) : box_(mail_box) {}
  ~BoxHandle() {
    if (db != NULLHANDLE) KeptBoxes().Give(box_, db, ok);
  }
  BoxHandle(const BoxHandle&) = delete;
  BoxHandle& operator=(const BoxHandle&) = delete;

  DBHANDLE db = NULLHANDLE;
  bool ok = false;  // the mail was stored: the handle is known to work

 private:
  const char* box_;
};

struct NoteCloser {
  NOTEHANDLE note = NULLHANDLE;
  ~NoteCloser() {
    if (note != NULLHANDLE) (void)NSFNoteClose(note);
  }
};

// A mail written but not synced is taken back, so that the sender's retry after the
// temporary failure does not deliver it twice. One that the router has taken already was
// delivered durably (the router syncs each copy before the mail leaves the box), so it
// counts as stored.
STATUS Withdraw(DBHANDLE db, NOTEHANDLE note) {
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  STATUS status = NSFNoteDelete(db, id, UPDATE_NOCOMMIT);
  if (ERR(status) == ERR_INVALID_NOTE || ERR(status) == ERR_NOTE_DELETED) return NOERROR;
  return ERR_DB_NOT_SYNCED;
}

using ImportFn = std::function<STATUS(NOTEHANDLE note, const mail_import::ImportOptions&)>;

STATUS StoreImported(const char* mail_box, const ImportFn& import,
                     const std::vector<std::string>& recipients,
                     const std::string* envelope_sender, NOTEID* note_id_r) {
  if (note_id_r != nullptr) *note_id_r = 0;
  BoxHandle db(mail_box);
  STATUS status = KeptBoxes().Take(mail_box, &db.db);
  if (status != NOERROR) return status;
  NoteCloser note;
  status = NSFNoteCreate(db.db, &note.note);
  if (status != NOERROR) return status;
  mail_import::ImportOptions options;
  options.envelope_recipients = recipients;
  if (envelope_sender != nullptr) options.envelope_sender = *envelope_sender;
  status = import(note.note, options);
  if (status != NOERROR) return status;
  // Nothing to route to: the router could only leave it in the box as dead mail.
  if (NSFItemGetTextListEntries(note.note, MAIL_RECIPIENTS_ITEM) == 0) return ERR_BAD_PARAM;
  if (envelope_sender != nullptr) {
    WORD length = static_cast<WORD>(std::min<size_t>(envelope_sender->size(), MAXWORD - 1));
    status = NSFItemSetText(note.note, kOriginatorItem, envelope_sender->c_str(), length);
    if (status != NOERROR) return status;
  }
  // Durable when it returns: the caller answers "250" or removes the picked-up file next.
  status = NSFNoteUpdate(note.note, 0);
  if (ERR(status) == ERR_DB_NOT_SYNCED) status = Withdraw(db.db, note.note);
  if (status != NOERROR) return status;
  if (note_id_r != nullptr) NSFNoteGetInfo(note.note, _NOTE_ID, note_id_r);
  db.ok = true;
  return NOERROR;
}

}  // namespace

STATUS StoreInboundMail(const char* mail_box, std::string_view text,
                        const std::vector<std::string>& recipients,
                        const std::string* envelope_sender, NOTEID* note_id_r) {
  auto import = [text](NOTEHANDLE note, const mail_import::ImportOptions& options) {
    std::string error;
    return mail_import::ImportMailText(note, text, options, &error);
  };
  return StoreImported(mail_box, import, recipients, envelope_sender, note_id_r);
}

STATUS StoreInboundMailFile(const char* mail_box, const std::string& path,
                            const std::vector<std::string>& recipients,
                            const std::string* envelope_sender, NOTEID* note_id_r,
                            std::string* error_r) {
  auto import = [&path, error_r](NOTEHANDLE note, const mail_import::ImportOptions& options) {
    return mail_import::ImportMailFile(note, path.c_str(), options, error_r);
  };
  return StoreImported(mail_box, import, recipients, envelope_sender, note_id_r);
}

void CloseMailBoxes() { KeptBoxes().CloseAll(); }

}  // namespace vtserver
