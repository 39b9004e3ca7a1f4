// kept_mail.cpp - see kept_mail.h.
#include "vtnotes/kept_mail.h"

#include "foundation/log.h"
#include "platform/win32/windows.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/notes_handles.h"
#include "vtnotes/vtnotes_log.h"
#include "vtnotes/warnings.h"

namespace vtnotes {
namespace {

// Names tried for one mail before giving up: a second copy of the same mail within the
// same second takes the next number.
constexpr int kNameAttempts = 100;

}  // namespace

std::string KeepOriginalMail(NOTEHANDLE note, const std::string& job_id) {
  ExtensionState& state = State();
  if (note == NULLHANDLE || state.install_directory.empty()) return {};
  const std::string folder = JoinPath(state.install_directory, kKeptMailFolder);
  if (!DirectoryExists(folder) && !CreateSpoolDirectory(folder) && !DirectoryExists(folder)) {
    SystemErrorLine();
    Always("ERROR!!! Unable to Create Directory %s. Reason above", folder.c_str());
    return {};
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::string path;
  STATUS status = NOERROR;
  for (int number = 0; number < kNameAttempts; ++number) {
    path =
        JoinPath(folder, Format("%s-%04d%02d%02d-%02d%02d%02d-%d.nsf", job_id.c_str(), now.wYear,
                                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, number));
    status = NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE);
    if (ERR(status) != ERR_EXISTS) break;
  }
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! Unable to Create %s to keep the mail. Reason above", path.c_str());
    return {};
  }
  DbOwner db;
  NoteOwner copy;
  status = NSFDbOpen(path.c_str(), db.out());
  if (status == NOERROR) status = NSFNoteCopy(note, copy.out());
  if (status == NOERROR) {
    DBHANDLE target = db.get();
    NSFNoteSetInfo(copy.get(), _NOTE_DB, &target);
    status = NSFNoteUpdate(copy.get(), 0);
  }
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! Unable to Write the mail into %s. Reason above", path.c_str());
    (void)copy.Close();
    (void)db.Close();
    (void)NSFDbDelete(path.c_str());
    return {};
  }
  return path;
}

bool KeepMailAfterFailedCopy(NOTEHANDLE note, const MailInfo* info, const std::string& job_id,
                             const std::string& mailbox_path) {
  const std::string kept = KeepOriginalMail(note, job_id);
  if (kept.empty()) {
    Always(
        "[%s] ERROR!!! The quarantine copy failed and the original mail could not be kept "
        "either: it stays in the mail box to be tried again",
        job_id.c_str());
    return false;
  }
  Always("[%s] The quarantine copy failed: the original mail is kept in %s", job_id.c_str(),
         kept.c_str());
  SendAdminWarningMail(AdminWarning::kOriginalKept, info, job_id, 0, mailbox_path, kept);
  return true;
}

}  // namespace vtnotes
