// result_apply.cpp - see result_apply.h.
#include "vtsweep/result_apply.h"

#include <cstring>

#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/spool.h"
#include "vtnotes/warnings.h"
#include "vtsweep/document_scan.h"
#include "vtsweep/watchdog_open.h"

namespace vtsweep {
namespace {

constexpr std::size_t kResultLineBytes = 4999;
// The font argument of the body call: the line delimiters CR, LF and ^Z as four bytes in
// memory order, as the stored form has always carried them.
constexpr DWORD kBodyFontArgument = 0x001A0A0Du;
// Where the administrators' warning about a kept original is deposited.
constexpr const char* kRouterMailBox = "mail.box";

// The name of the first file of the result directory matching the pattern (any case).
std::string Find(const std::string& directory, const char* pattern) {
  return vtnotes::FindFirstMatch(directory, pattern);
}

bool EqualNoCase(const std::string& a, const char* b) { return _stricmp(a.c_str(), b) == 0; }

std::string Trimmed(std::string text) {
  foundation::TrimBoth(text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  return text;
}

// One line of a result header. false when reading is to end with 1.
bool ApplyResultLine(const std::string& result_base, std::string line, JobRecord& record) {
  line = Trimmed(line);
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return true;
  const std::string key = Trimmed(line.substr(0, colon));
  const std::string value = Trimmed(line.substr(colon + 1));
  if (key.empty() || value.empty()) return true;
  if (EqualNoCase(key, "Attachment")) {
    const std::size_t comma = value.rfind(',');
    if (comma == std::string::npos) {
      LogF(kLogStamped, "Error : %s initnode\t No Comma present", result_base.c_str());
      return true;
    }
    const std::string stored = value.substr(0, comma);
    const std::string original = value.substr(comma + 1);
    if (stored.empty() || original.empty()) {
      LogF(kLogStamped, "Error %s initnode\teither Alias (or) FileName is NULL",
           result_base.c_str());
      return true;
    }
    std::string path;
    if (!ResolveBelow(result_base, stored, &path)) {
      LogF(kLogStamped, "Error : %s names a file outside %s. Refused.", stored.c_str(),
           result_base.c_str());
      return true;
    }
    record.attachments.push_back({original, path});
  } else if (EqualNoCase(key, "Body")) {
    std::string path;
    if (!ResolveBelow(result_base, value, &path)) {
      LogF(kLogStamped, "Error : %s names a file outside %s. Refused.", value.c_str(),
           result_base.c_str());
      return true;
    }
    record.body_path = path;
  } else if (EqualNoCase(key, "From")) {
    record.from = value;
  } else if (EqualNoCase(key, "subject")) {
    record.subject = value;
  } else if (EqualNoCase(key, "To")) {
    if (value.front() == ',') return true;
    std::size_t start = 0;
    while (start <= value.size()) {
      std::size_t comma = value.find(',', start);
      if (comma == std::string::npos) comma = value.size();
      std::string address = NormalizeAddress(Trimmed(value.substr(start, comma - start)));
      if (!address.empty()) record.recipients.push_back(std::move(address));
      start = comma + 1;
    }
  }
  return true;
}

bool Exists(const std::string& path) {
  return GetFileAttributes(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Reads the result header for one of the answer files; logs the reader's failure.
int ReadFor(const SweepRun& run, const std::string& header, JobRecord& record,
            const char* failure) {
  int read = ReadResultHeader(run.paths.result_base, run.paths.result_dir, header, record);
  if (read != 0) WriteLog(failure, kLogStamped);
  return read;
}

// Reads the lines of a file as the result header reader does, handing each to `line_r`.
template <typename LineFn>
void ForEachResultLine(FILE* file, LineFn line_r) {
  std::string line;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) {
    if (c == '\r' || c == '\n') {
      line_r(std::move(line));
      line.clear();
      continue;
    }
    line += static_cast<char>(c);
    // A longer line is read in pieces of the line buffer's size.
    if (line.size() == kResultLineBytes - 1) {
      line_r(std::move(line));
      line.clear();
    }
  }
  line_r(std::move(line));
}

}  // namespace

std::string ReadAnswerJob(const std::string& path) {
  FILE* file = _fsopen(path.c_str(), "rb", _SH_DENYNO);
  if (file == nullptr) return {};
  std::string job;
  ForEachResultLine(file, [&](std::string line) {
    line = Trimmed(line);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos && EqualNoCase(Trimmed(line.substr(0, colon)), "Job"))
      job = Trimmed(line.substr(colon + 1));
  });
  std::fclose(file);
  return job;
}

AnswerOwner OwnerOfAnswer(const std::string& result_dir, const std::string& sequence,
                          std::string* other_r) {
  std::vector<std::string> answers = vtnotes::FindAllMatches(result_dir, "*.hd0");
  const std::string error = Find(result_dir, "error.hdr");
  if (!error.empty()) answers.push_back(error);
  for (const std::string& name : answers) {
    std::string job = ReadAnswerJob(foundation::JoinPath(result_dir, name));
    if (job != sequence) {
      *other_r = job.empty() ? std::string("(none)") : std::move(job);
      return AnswerOwner::kAnotherJob;
    }
  }
  return answers.empty() ? AnswerOwner::kNone : AnswerOwner::kThisJob;
}

int ReadResultHeader(const std::string& result_base, const std::string& directory,
                     const std::string& name, JobRecord& record) {
  record = JobRecord{};
  const std::string path = foundation::JoinPath(directory, name);
  FILE* file = _fsopen(path.c_str(), "rb", _SH_DENYNO);
  if (file == nullptr) return 100;
  int result = 0;
  try {
    ForEachResultLine(file, [&](std::string line) {
      ApplyResultLine(result_base, std::move(line), record);
    });
  } catch (const std::bad_alloc&) {
    WriteLog("Error :ReadFromFile\tmalloc Fails", kLogStamped);
    result = 1;
  }
  std::fclose(file);
  if (result == 1) {
    record = JobRecord{};
    WriteLog("Error :VtSweep\tError in ReadFromFile", kLogStamped);
    return 1;
  }
  if (record.body_path.empty()) {
    record = JobRecord{};
    LogF(kLogStamped, "File Name = %s... plz wait...", path.c_str());
    Sleep(5);
    return 100;
  }
  return 0;
}

STATUS SetDefaultBody(NOTEHANDLE note) {
  if (note == NULLHANDLE) {
    WriteLog("Error : SetDefaultBody hNote is NULL", kLogStamped);
    return 1;
  }
  STATUS status = NSFItemSetText(note, MAIL_BODY_ITEM, "", MAXWORD);
  if (status != NOERROR) {
    LogF(kLogStamped, "Error : %sUnable to Use NSFItemSetText", MAIL_BODY_ITEM);
    LogNotesStatus(status);
  }
  return status;
}

STATUS NewChangeBody(NOTEHANDLE note, const std::string& directory, const JobRecord& record,
                     bool keep_body) {
  if (note == NULLHANDLE || directory.empty()) {
    LogF(kLogStamped, "Error :NewChangeBody\t%s", "Neither hNote,Dir,mail is NULL in ChangeBody\n");
    return 1;
  }
  BLOCKID item{};
  while (MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr)) {
    STATUS status = NSFNoteDetachFile(note, item);
    if (status != NOERROR) {
      LogSystemError();
      WriteLog("Error :NewChangeBody\tError in NSFNoteDetachFile Reason above", kLogStamped);
      return status;
    }
  }
  STATUS body_status = NOERROR;
  if (!record.body_path.empty() && Exists(record.body_path)) {
    if (!keep_body) {
      STATUS status = NSFItemDelete(note, MAIL_BODY_ITEM, static_cast<WORD>(std::strlen(MAIL_BODY_ITEM)));
      if (status != NOERROR && ERR(status) != ERR_ITEM_NOT_FOUND) {
        WriteLog("Error :NewChangeBody\tError in NSFItemDelete", kLogStamped);
        LogNotesStatus(status);
        return status;
      }
    }
    body_status = MailAddMessageBodyTextExt(note, MAIL_BODY_ITEM, record.body_path.c_str(),
                                            kBodyFontArgument, "\r\n", 0, nullptr);
    if (body_status != NOERROR) {
      WriteLog("Error :Error in MailAddMessageBoxyTextExt....", kLogStamped);
      LogNotesStatus(body_status);
    }
  } else {
    if (!record.body_path.empty()) LogF(kLogStamped, "Error : %s Not Found.", record.body_path.c_str());
    body_status = SetDefaultBody(note);
    if (body_status != NOERROR) WriteLog("Error :NewChangeBody\tSetDefaultBody", kLogStamped);
  }
  for (const JobAttachment& attachment : record.attachments) {
    if (attachment.stored_path.empty() || !Exists(attachment.stored_path)) continue;
    STATUS status = NSFNoteAttachFile(note, MAIL_FILE_ITEM, static_cast<WORD>(std::strlen(MAIL_FILE_ITEM)),
                                      attachment.stored_path.c_str(),
                                      attachment.original_name.c_str(), COMPRESS_NONE);
    if (status != NOERROR) {
      WriteLog("Error :New ChangeBody\tError in NSFNoteAttachFile", kLogStamped);
      LogNotesStatus(status);
      return status;
    }
  }
  return body_status;
}

STATUS CopyQuarantine(SweepRun& run, NOTEHANDLE note, const JobRecord& record) {
  if (note == NULLHANDLE) {
    WriteLog("CopyQuarantine hSrcNote is NULL", kLogStamped);
    return 1;
  }
  vtnotes::MailInfo info;
  info.from = record.from;
  info.subject = record.subject;
  for (const std::string& recipient : record.recipients)
    info.recipients += (info.recipients.empty() ? "" : ",") + recipient;
  // The whole document goes into every quarantine database, as the extension copies a mail
  // in transit, with the virus name of Forward.txt.
  const STATUS status = vtnotes::CopyQuarantine(note, run.paths.result_dir, info, false);
  if (status == NOERROR) return NOERROR;
  WriteLog("Error in CopyQuarantine Function", kLogStamped);
  WriteLog("Unable to Write in vtquaran.nsf", kLogStamped);
  // The verdict may change the document only once its original is safe: kept as a message
  // file below the install directory, from which vtquarantine import brings it back.
  NOTEID note_id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &note_id);
  char name[32];
  std::snprintf(name, sizeof name, "%lX", static_cast<unsigned long>(note_id));
  const std::string kept =
      vtnotes::KeepOriginalMail(note, name, vtnotes::QuarantineVirusName(run.paths.result_dir));
  if (kept.empty()) {
    WriteLog("The quarantine copy failed and the original could not be kept either: the "
             "document is left as it is",
             kLogStamped);
    ++run.totals.kept_unchanged;
    return status;
  }
  LogF(kLogStamped, "The quarantine copy failed: the original is kept in %s", kept.c_str());
  vtnotes::SendAdminWarningMail(vtnotes::AdminWarning::kOriginalKept, &info, name, 0,
                                kRouterMailBox, kept);
  return NOERROR;
}

int ApplyResult(SweepRun& run, NOTEHANDLE note, JobRecord& record, bool* delete_r) {
  const std::string& result_dir = run.paths.result_dir;
  const std::string header = Find(result_dir, "*.hd0");
  if (header.empty()) {
    if (!Find(result_dir, "error.hdr").empty()) {
      WriteLog("Error: Error.Hd0 Found", kLogStamped);
      return 100;
    }
    return 0;
  }
  if (!Find(result_dir, "Forward.txt").empty()) {
    if (ReadFor(run, header, record, "Error :CheckHD0File\tError in ReadFromFile") != 0) return 1;
    // Without a copy or the kept original, the later steps stay undone: nothing is lost.
    const STATUS status = CopyQuarantine(run, note, record);
    if (status != NOERROR) return status;
  }
  const std::string delete_name = Find(result_dir, "Delete.txt");
  if (!delete_name.empty()) {
    if (ReadFor(run, header, record, "Error :CheckHD0File\tError in ReadFromFile") != 0) return 1;
    for (const std::string& name : vtnotes::FindAllMatches(result_dir, "*.Att"))
      DeleteFile(foundation::JoinPath(result_dir, name).c_str());
    const std::string delete_path = foundation::JoinPath(result_dir, delete_name);
    DeleteFile(record.body_path.c_str());
    if (!CopyFile(delete_path.c_str(), record.body_path.c_str(), FALSE)) {
      LogSystemError();
      LogF(kLogStamped, "Unable to Copy File from %s to %s.  Reason is above", delete_path.c_str(),
           record.body_path.c_str());
    } else if (vtnotes::SpoolFileSize(delete_path) == 0) {
      *delete_r = true;
    }
  }
  if (!Find(result_dir, "scanover.txt").empty()) {
    if (ReadFor(run, header, record, "Error :VtSweep\tError in ReadFromFile") != 0) return 1;
    if (record.body_path.empty()) {
      LogF(kLogStamped, "Error : %s ReadFromFile\tBody empty", run.paths.job_dir.c_str());
    } else {
      if (NewChangeBody(note, result_dir, record, false) != NOERROR) {
        WriteLog("Error :Error in New ChangeBody", kLogStamped);
        return 1;
      }
      run.changed = true;
    }
  }
  return 0;
}

}  // namespace vtsweep
