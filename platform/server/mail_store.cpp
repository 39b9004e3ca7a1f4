// mail_store.cpp - the mail note written into mail.box.
#include "platform/server/mail_store.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/notes/mail_import.h"

namespace vtserver {
namespace {

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

using ImportFn = std::function<STATUS(NOTEHANDLE note, const mail_import::ImportOptions&)>;

STATUS StoreImported(const char* mail_box, const ImportFn& import,
                     const std::vector<std::string>& recipients,
                     const std::string* envelope_sender, NOTEID* note_id_r) {
  if (note_id_r != nullptr) *note_id_r = 0;
  DbCloser db;
  STATUS status = NSFDbOpen(mail_box, &db.db);
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
  status = NSFNoteUpdate(note.note, 0);
  if (status != NOERROR) return status;
  if (note_id_r != nullptr) NSFNoteGetInfo(note.note, _NOTE_ID, note_id_r);
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

}  // namespace vtserver
