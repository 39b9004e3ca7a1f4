// kept_mail.cpp - see kept_mail.h.
#include "vtnotes/kept_mail.h"

#include "foundation/log.h"
#include "platform/notes/mail_export.h"
#include "platform/win32/windows.h"
#include "vtnotes/extension_state.h"
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
  // Infected originals wait here: the folder is the server account's alone.
  if (!VtRestrictToOwner(folder.c_str())) {
    SystemErrorLine();
    Always("ERROR!!! Unable to make %s private. Reason above", folder.c_str());
    return {};
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::string path;
  for (int number = 0; number < kNameAttempts && (path.empty() || FileExists(path)); ++number) {
    path =
        JoinPath(folder, Format("%s-%04d%02d%02d-%02d%02d%02d-%d.eml", job_id.c_str(), now.wYear,
                                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, number));
  }
  if (FileExists(path)) {
    Always("ERROR!!! No free name for the mail in %s", folder.c_str());
    return {};
  }
  std::string error;
  STATUS status = mail_export::ExportMailFile(note, path.c_str(), &error);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! Unable to Write the mail into %s: %s", path.c_str(), error.c_str());
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
