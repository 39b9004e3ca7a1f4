// quarantine.h - what an administrator does with the quarantine databases.
//
// What it is for: the real-time extension copies an infected mail into every database that
// the registry value VTADMINDB names, each copy carrying X-Vantrel = this installation's
// VantrelID. After a false alarm an administrator lists those copies, looks at one, writes
// it out as a message, sends it on to its recipients, deletes it or purges old ones, and
// brings in the originals the extension kept under <install>/Quarantine when a copy could
// not be written. A copy is named "<database>:<note ID in hexadecimal>" (vtquaran.nsf:8F6);
// with one database the note ID alone will do.
//
// A copy is a document that carries X-Vantrel = the VantrelID and the item only the copy
// step writes, VtOriginalMail, naming the mail it was copied from. Warning mails and
// released mails carry the mark but never that item, so a quarantine database may be an
// administrator's own mail database: its other documents are never listed, released,
// deleted or purged. Copies made before copies named their mail are recognised by what only
// they have (no Form item, or VirusName or ImportedFrom). Anything else is refused by every
// command.
//
// A mail is released once, whichever of its copies is named: the release is recorded in
// every copy of the same mail in every quarantine database (ReleasedBy, ReleasedDate,
// ReleasedCopy), which is what refuses a second release, and the released mail leaves
// without VtOriginalMail, so that it never becomes a copy where it is delivered.
//
// Ownership: results are the caller's; every database and note opened here is closed here.
// Locks: release, delete, purge and import hold the named mutex "VtQuarantineMutex" so that
// two administrators cannot release the same copy at once. Notes must be initialised on the
// calling thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"
#include "vtnotes/warnings.h"

namespace vtquarantine {

using vtnotes::kOriginalMailItem;
using vtnotes::kVirusNameItem;

// Items a release writes into the copy, and the item that names the kept file an
// imported copy came from.
inline constexpr const char* kReleasedByItem = "ReleasedBy";
inline constexpr const char* kReleasedDateItem = "ReleasedDate";
// Which copy the release was made from ("vtquaran.nsf:8FA"), recorded in every copy.
inline constexpr const char* kReleasedCopyItem = "ReleasedCopy";
inline constexpr const char* kImportedFromItem = "ImportedFrom";
// The router mail box a released mail is put into.
inline constexpr const char* kRouterMailBox = "mail.box";
inline constexpr const char* kDefaultQuarantineDb = "vtquaran.nsf";
// The origin of a copy imported from a kept file that does not name its mail.
inline constexpr const char* kImportedOriginPrefix = "imported:";

struct Settings {
  std::string install_directory;
  std::string vantrel_id;
  std::vector<std::string> databases;  // VTADMINDB, trimmed, in order
};

// Reads the install directory, [General] VantrelID of vantrel.ini and VTADMINDB (default
// vtquaran.nsf). False with a reason when the product is not installed or has no VantrelID
// yet (then no copy can be told from other notes).
[[nodiscard]] bool LoadSettings(Settings* settings_r, std::string* error_r);

struct CopyId {
  std::string database;
  NOTEID note_id = 0;
};
[[nodiscard]] std::string FormatId(const CopyId& id);
// "db:HEX" with db one of the quarantine databases (any case), or "HEX" when there is
// exactly one. False with a reason otherwise.
[[nodiscard]] bool ParseId(std::string_view text, const Settings& settings, CopyId* id_r,
                           std::string* error_r);

// The mail a quarantine copy of this installation was made from (its VtOriginalMail, or for
// a copy made before, what its copies share); empty for a document that is no copy.
[[nodiscard]] std::string CopyOrigin(NOTEHANDLE note, const std::string& vantrel_id);

struct CopySummary {
  CopyId id;
  std::string origin;
  long long posted_unix = 0;  // PostedDate, else when the copy was made
  long long copied_unix = 0;  // when the copy was made
  std::string from;
  std::vector<std::string> recipients;
  std::string subject;
  std::string virus;
  unsigned long size_bytes = 0;
  std::vector<std::string> attachments;
  std::string imported_from;
  std::string released_by;  // empty while not released
  long long released_unix = 0;
  std::string released_as;  // the copy the release was made from
};

// Every copy of every quarantine database, in database and note-ID order. A database that
// cannot be opened is reported in `error_r` and the others are still listed; false then.
[[nodiscard]] bool ListCopies(const Settings& settings, std::vector<CopySummary>* copies_r,
                              std::string* error_r);
[[nodiscard]] bool ShowCopy(const Settings& settings, const CopyId& id, CopySummary* copy_r,
                            std::string* error_r);
// Writes the copy as an RFC 822 message into `file`, which must not exist yet.
[[nodiscard]] bool ExportCopy(const Settings& settings, const CopyId& id, const std::string& file,
                              std::string* error_r);
// Puts the mail into the router mail box for its recipients (Recipients, else SendTo,
// CopyTo and BlindCopyTo), carrying X-Vantrel = VantrelID so that the extension passes it
// unscanned, and records `released_by`, the time and the copy in every copy of the same mail.
// Refused when any copy of the mail was released already, or when a quarantine database
// cannot be searched for them. `mailbox_id_r` gets the note ID of the mail in the mail box.
[[nodiscard]] bool ReleaseCopy(const Settings& settings, const CopyId& id,
                               const std::string& released_by, NOTEID* mailbox_id_r,
                               std::string* error_r);
[[nodiscard]] bool DeleteCopy(const Settings& settings, const CopyId& id, std::string* error_r);
// Deletes the copies made more than `days` days before `now_unix`; `deleted_r` counts them.
[[nodiscard]] bool PurgeCopies(const Settings& settings, long days, long long now_unix,
                               int* deleted_r, std::string* error_r);

struct ImportReport {
  std::vector<std::string> imported;  // kept files brought in and removed
  std::vector<std::string> failed;    // "file: reason", left where they are
};
// Brings every kept original into each quarantine database: the messages the extension
// keeps (<install>/Quarantine/*.eml, read in as the server reads incoming mail) and the
// databases it kept before (*.nsf, every document copied whole). A message comes in with
// what its record beside it (<message>.info) adds: the router's recipients, the virus and
// the mail's identity, so that a database holding a copy of that mail already is passed
// over and the mail is released once. Each is marked with
// ImportedFrom = its file name, so that a file already brought in (a removal that failed,
// an import cut short) is never copied twice; the file is removed only once every database
// holds it. False when any file failed.
[[nodiscard]] bool ImportKeptMail(const Settings& settings, ImportReport* report_r);

}  // namespace vtquarantine
