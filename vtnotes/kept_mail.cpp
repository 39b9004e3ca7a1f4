// kept_mail.cpp - see kept_mail.h.
#include "vtnotes/kept_mail.h"

#include "foundation/log.h"
#include "foundation/named_objects.h"
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

// The router's recipients of the mail, Bcc included: what the message's headers may lack.
std::vector<std::string> RouterRecipients(NOTEHANDLE note) {
  std::vector<std::string> recipients;
  std::string entry(MAXWORD, '\0');
  const WORD count = NSFItemGetTextListEntries(note, MAIL_RECIPIENTS_ITEM);
  for (WORD i = 0; i < count; ++i) {
    const WORD length = NSFItemGetTextListEntry(note, MAIL_RECIPIENTS_ITEM, i, entry.data(), MAXWORD);
    if (length > 0) recipients.emplace_back(entry.data(), length);
  }
  return recipients;
}

bool WriteRecord(const std::string& path, const std::string& text) {
  foundation::UniqueHandle file(CreateFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

}  // namespace

std::string KeepOriginalMail(NOTEHANDLE note, const std::string& job_id, const std::string& virus) {
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
  // The record first: a message found without one is imported without it.
  const std::string record_path = path + kKeptRecordSuffix;
  const KeptMailRecord record{virus, OriginalMailId(note), RouterRecipients(note)};
  if (!WriteRecord(record_path, FormatKeptMailRecord(record))) {
    SystemErrorLine();
    Always("ERROR!!! Unable to Write %s. Reason above", record_path.c_str());
  }
  std::string error;
  STATUS status = mail_export::ExportMailFile(note, path.c_str(), &error);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! Unable to Write the mail into %s: %s", path.c_str(), error.c_str());
    (void)DeleteFile(record_path.c_str());
    return {};
  }
  return path;
}

void ForgetKeptMail(const std::string& message_path) {
  (void)DeleteFile(message_path.c_str());
  (void)DeleteFile((message_path + kKeptRecordSuffix).c_str());
}

bool KeepMailAfterFailedCopy(NOTEHANDLE note, const MailInfo* info, const std::string& job_id,
                             const std::string& mailbox_path, const std::string& virus) {
  const std::string kept = KeepOriginalMail(note, job_id, virus);
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
