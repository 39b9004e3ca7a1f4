// document_scan.cpp - see document_scan.h.
#include "vtsweep/document_scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "foundation/file_ops.h"
#include "foundation/named_objects.h"
#include "foundation/spool_line.h"
#include "foundation/utilities.h"
#include "foundation/uuencode.h"
#include "mime/body_struct.h"
#include "mime/text_extract.h"
#include "platform/win32/windows.h"
#include "vtnotes/capture.h"
#include "vtnotes/spool.h"
#include "vtsweep/result_apply.h"

namespace vtsweep {
namespace {

constexpr const char* kHeaderBeingWritten = "0.hdf";
constexpr const char* kScanNowBeingWritten = "scannow.new";
constexpr const char* kBodyFile = "0.bdy";
constexpr const char* kRawFile = "0.bdx";
constexpr const char* kVirusNamesFile = "Virnames.txt";
constexpr int kMaxUniqueNumber = 32767;
constexpr std::size_t kAddressBytes = 257;    // up to 256 characters
constexpr std::size_t kSubjectBytes = 1000;   // up to 999 characters
constexpr std::size_t kMessageIdBytes = 501;  // up to 500 characters
constexpr std::size_t kAttachmentNameChars = 260;
constexpr DWORD kNoteDeleteFlags = 1;

enum class HeaderKind { kRecipient, kSender, kBody, kSubject };

bool FileExists(const std::string& path) {
  return !path.empty() && GetFileAttributes(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::int64_t FileSize(const std::string& path) {
  foundation::UniqueHandle file(CreateFile(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return -1;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return -1;
  return size.QuadPart;
}

// Owner of the document opened for the scan.
class OpenNote {
 public:
  ~OpenNote() { (void)Close(); }
  NOTEHANDLE* out() { return &note_; }
  [[nodiscard]] NOTEHANDLE get() const { return note_; }
  STATUS Close() {
    STATUS status = NOERROR;
    if (note_ != NULLHANDLE) status = NSFNoteClose(note_);
    note_ = NULLHANDLE;
    return status;
  }

 private:
  NOTEHANDLE note_ = NULLHANDLE;
};

struct ItemDumpContext {
  NOTEHANDLE note = NULLHANDLE;
  JobRecord* record = nullptr;
  const std::string* job_dir = nullptr;
  bool mime_seen = false;
  // File objects seen so far per item name, so that each one is extracted from its own
  // item rather than from the first item of the name.
  std::vector<std::pair<std::string, int>> objects_seen;
};

int NextObjectIndex(ItemDumpContext& context, const std::string& name) {
  for (auto& [seen_name, count] : context.objects_seen) {
    if (lstrcmpi(seen_name.c_str(), name.c_str()) == 0) return count++;
  }
  context.objects_seen.emplace_back(name, 1);
  return 0;
}

// The index-th item of the name.
STATUS FindItem(NOTEHANDLE note, const std::string& name, int index, BLOCKID* item_r) {
  const WORD name_len = static_cast<WORD>(name.size());
  STATUS status = NSFItemInfo(note, name.c_str(), name_len, item_r, nullptr, nullptr, nullptr);
  for (int i = 0; status == NOERROR && i < index; ++i) {
    BLOCKID previous = *item_r;
    status = NSFItemInfoNext(note, previous, name.c_str(), name_len, item_r, nullptr, nullptr,
                             nullptr);
  }
  return status;
}

STATUS ExtractObject(ItemDumpContext& context, const std::string& name, const BYTE* value,
                     DWORD value_len) {
  const WORD object_len = ODSLength(_FILEOBJECT);
  if (value_len < sizeof(WORD) + object_len) return NOERROR;
  FILEOBJECT object{};
  void* cursor = const_cast<BYTE*>(value + sizeof(WORD));
  ODSReadMemory(&cursor, _FILEOBJECT, &object, 1);
  if (object.ObjectType != OBJECT_FILE) return NOERROR;
  const int index = NextObjectIndex(context, name);
  // The stored name is bounded by what the value really holds.
  const DWORD name_at = sizeof(WORD) + object_len;
  const DWORD name_len = std::min<DWORD>(object.FileNameLength, value_len - name_at);
  std::string original(reinterpret_cast<const char*>(value + name_at), name_len);
  original = original.substr(0, std::strlen(original.c_str())).substr(0, kAttachmentNameChars);

  const std::string stored = GetUniqueFileName(*context.job_dir, ".ATT");
  if (stored.empty()) {
    WriteLog("Error in GetUniqueFileName\n", kLogStamped);
    WriteLog("Error in ExtractAttachment", kLogStamped);
    return 1;
  }
  BLOCKID item{};
  STATUS status = FindItem(context.note, name, index, &item);
  if (status != NOERROR) {
    LogNotesStatus(status);
    WriteLog("Error in NSFItemInfo", kLogStamped);
    WriteLog("Error in ExtractAttachment", kLogStamped);
    return 1;
  }
  status = NSFNoteExtractFile(context.note, item, stored.c_str(), nullptr);
  if (status != NOERROR) {
    LogNotesStatus(status);
    WriteLog("Error in NSFNoteExtractFile", kLogStamped);
    WriteLog("Error in ExtractAttachment", kLogStamped);
    return 1;
  }
  context.record->attachments.push_back({original, stored});
  return NOERROR;
}

STATUS DumpMimePart(ItemDumpContext& context, const std::string& name, const BYTE* value,
                    DWORD value_len) {
  JobRecord& record = *context.record;
  if (!context.mime_seen) {
    context.mime_seen = true;
    record.body_path = foundation::JoinPath(*context.job_dir, kBodyFile);
    record.raw_path = foundation::JoinPath(*context.job_dir, kRawFile);
  }
  foundation::UniqueHandle file(CreateFile(record.raw_path.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    LogSystemError();
    LogF(kLogStamped, "DumpOneItem\t%s Unable to Create Reason above", record.raw_path.c_str());
    return 1;
  }
  if (lstrcmpi(name.c_str(), MAIL_BODY_ITEM) != 0) return NOERROR;
  const WORD header_len = ODSLength(_MIME_PART);
  if (value_len < sizeof(WORD) + header_len) {
    WriteLog("DumpMimePart\tNeither Any one of Input Parameter is NULL", kLogStamped);
    return NOERROR;
  }
  MIME_PART part{};
  void* cursor = const_cast<BYTE*>(value + sizeof(WORD));
  ODSReadMemory(&cursor, _MIME_PART, &part, 1);
  // Never more than the item holds, whatever its stored header claims.
  const DWORD count = std::min<DWORD>(part.wByteCount, value_len - sizeof(WORD) - header_len);
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  DWORD written = 0;
  if (!WriteFile(file.get(), value + sizeof(WORD) + header_len, count, &written, nullptr) ||
      written != count) {
    LogSystemError();
    WriteLog("PrintItemString\tError in WriteFile Reason above", kLogStamped);
  }
  return NOERROR;
}

STATUS DumpOneItem(WORD, WORD, char* name, WORD name_len, void* value, DWORD value_len,
                   void* raw_context) {
  auto& context = *static_cast<ItemDumpContext*>(raw_context);
  try {
    if (value == nullptr || value_len < sizeof(WORD)) return NOERROR;
    WORD type = 0;
    std::memcpy(&type, value, sizeof type);
    const std::string item(name, name_len);
    if (type == TYPE_OBJECT)
      return ExtractObject(context, item, static_cast<const BYTE*>(value), value_len);
    if (type == TYPE_MIME_PART)
      return DumpMimePart(context, item, static_cast<const BYTE*>(value), value_len);
    return NOERROR;
  } catch (...) {
    WriteLog("Error in ExtractAttachment", kLogStamped);
    return 1;
  }
}

void WriteBodyText(NOTEHANDLE note, const std::string& path) {
  DWORD size = 0;
  STATUS status =
      MailGetMessageBodyText(note, MAIL_BODY_ITEM, "\r\n", 80, TRUE, path.c_str(), &size);
  if (status != NOERROR) LogNotesStatus(status);
}

void AppendRecipient(JobRecord& record, const std::string& text) {
  std::string address = NormalizeAddress(text);
  if (!address.empty()) record.recipients.push_back(std::move(address));
}

std::string ReadItemText(NOTEHANDLE note, const char* name, std::size_t bytes) {
  std::string buffer(bytes, '\0');
  WORD length = NSFItemGetText(note, name, buffer.data(), static_cast<WORD>(bytes));
  return buffer.substr(0, length);
}

void ReadHeaderItem(NOTEHANDLE note, const char* name, HeaderKind kind, JobRecord& record,
                    const std::string& job_dir) {
  WORD type = 0;
  if (NSFItemInfo(note, name, static_cast<WORD>(std::strlen(name)), nullptr, &type, nullptr,
                  nullptr) != NOERROR)
    return;
  if (type == TYPE_TEXT) {
    switch (kind) {
      case HeaderKind::kRecipient:
        AppendRecipient(record, ReadItemText(note, name, kAddressBytes));
        break;
      case HeaderKind::kSender:
        record.from = NormalizeAddress(ReadItemText(note, MAIL_FROM_ITEM, kAddressBytes));
        break;
      case HeaderKind::kBody:
        record.body_path = foundation::JoinPath(job_dir, kBodyFile);
        WriteBodyText(note, record.body_path);
        break;
      case HeaderKind::kSubject:
        record.subject = ReadItemText(note, MAIL_SUBJECT_ITEM, kSubjectBytes);
        break;
    }
  } else if (type == TYPE_TEXT_LIST) {
    const WORD entries = NSFItemGetTextListEntries(note, name);
    for (WORD i = 0; i < entries; ++i) {
      char entry[kAddressBytes] = {};
      NSFItemGetTextListEntry(note, name, i, entry, sizeof entry);
      AppendRecipient(record, entry);
    }
  } else if (type == TYPE_COMPOSITE && kind == HeaderKind::kBody) {
    const std::string path = GetUniqueFileName(job_dir, ".BDY");
    if (path.empty()) {
      WriteLog("Error in GetUniqueFileName\n", kLogStamped);
      return;
    }
    record.body_path = path;
    WriteBodyText(note, path);
  }
}

// The MIME body's readable text, or a body found in uuencoded attachments, or the raw
// text itself. 0, 1 when the search of the database is to end, -1 when the document is
// to be given up.
int BuildBodyFromRaw(SweepRun& run, JobRecord& record, bool* body_copied_r) {
  std::unique_ptr<mime::MimeBody> tree = mime::IMAPBODY_openfile(record.raw_path);
  if (tree) {
    int first = 1;
    int done = 0;
    if (mime::showBody(record.body_path, record.raw_path, tree.get(), first, done) != 0) {
      WriteLog("Error: showBody return !=0", kLogStamped);
      mime::ReleaseMimeBody(tree);
      return 1;
    }
    mime::ReleaseMimeBody(tree);
    if (FileSize(record.body_path) > 0) {
      // Files yEnc- or BinHex-encoded into the text reach the engine as the files they are.
      bool converted = false;
      if (record.body_path == foundation::JoinPath(run.paths.job_dir, kBodyFile) &&
          foundation::ConvertEncodedBodyText(run.paths.job_dir, &converted) != 0) {
        LogF(kLogStamped, "Error: ConvertEncodedBodyText %s fails; its text is scanned as it is",
             record.body_path.c_str());
      }
      return 0;
    }
  } else {
    WriteLog("\"final\" is NULL", kLogStamped);
  }
  bool body_found = false;
  for (const JobAttachment& attachment : record.attachments) {
    bool converted = false;
    if (foundation::ConvertUuncodeAttachment(run.paths.job_dir, attachment.stored_path,
                                             &converted, true) != 0) {
      LogF(kLogStamped, "Error: ConvertUuncodeAttachment %s and Attachment Name = %s return fails",
           attachment.stored_path.c_str(), attachment.original_name.c_str());
      return -1;
    }
    if (!converted) continue;
    if (!DeleteFile(attachment.stored_path.c_str())) {
      LogSystemError();
      LogF(kLogStamped, "Error: After ConvertUuncodeAttachment, DeleteFile Fails %s.  Reason above",
           attachment.stored_path.c_str());
      return -1;
    }
    body_found = true;
  }
  // An attachment that turned out to be uuencoded text reaches the engine as the files
  // decoded from it (registered in 0.hdf), not as a name without a file.
  std::erase_if(record.attachments,
                [](const JobAttachment& attachment) { return !FileExists(attachment.stored_path); });
  if (!body_found) {
    (void)CopyFile(record.raw_path.c_str(), record.body_path.c_str(), FALSE);
    *body_copied_r = true;
  }
  return 0;
}

// "Attachment:" lines that the body writer and the uudecoder registered in 0.hdf while the
// body was captured: the header is written anew, and these files must still reach the
// engine.
std::vector<std::string> RegisteredAttachmentLines(const std::string& hdf_path) {
  std::vector<std::string> lines;
  FILE* file = _fsopen(hdf_path.c_str(), "rb", _SH_DENYNO);
  if (file == nullptr) return lines;
  char line[5000];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (_strnicmp(text.c_str(), "Attachment:", 11) == 0) lines.push_back(text);
  }
  std::fclose(file);
  return lines;
}

void LogRenameLine(std::string_view line) { WriteLog(line, kLogStamped); }

enum class DocumentOutcome {
  kScanned,     // the engine's answer for it was applied, or there was nothing to ask
  kNotScanned,  // not captured whole, not answered in time, or the engine failed the job
  kEndSearch,   // the search of the database ends
};

enum class EngineWait { kAnswered, kTimedOut, kFailed };

// Waits for the engine's answer to the job in hand. A signal for an answer that belongs to
// another job (one that came after its document was given up) is logged and waited past;
// so is a signal with no answer in the result directory. The wait as a whole is bounded
// by the time-out.
EngineWait WaitForAnswer(SweepRun& run) {
  const DWORD start = GetTickCount();
  std::string discarded;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left = elapsed >= run.timeout_ms ? 0 : run.timeout_ms - elapsed;
    const DWORD waited = WaitForSingleObject(run.scan_event, left);
    if (waited == WAIT_TIMEOUT) return EngineWait::kTimedOut;
    if (waited != WAIT_OBJECT_0) return EngineWait::kFailed;
    std::string other;
    switch (OwnerOfAnswer(run.paths.result_dir, run.job_sequence, &other)) {
      case AnswerOwner::kThisJob:
        return EngineWait::kAnswered;
      case AnswerOwner::kAnotherJob:
        if (other != discarded) {
          LogF(kLogStamped, "Answer of job %s is not for this document (job %s). Not applied.",
               other.c_str(), run.job_sequence.c_str());
          discarded = other;
        }
        break;
      case AnswerOwner::kNone:
        break;
    }
  }
}

void NextJobSequence(SweepRun& run) {
  if (run.job_prefix.empty()) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lX-%lX", static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<unsigned long>(GetTickCount()));
    run.job_prefix = prefix;
  }
  run.job_sequence = run.job_prefix + "." + std::to_string(++run.job_count);
}

// Steps 3 to 9 of a document: capture it, hand it to the engine, apply the answer and write
// the document back. Each failure ends the document's work; the caller cleans up. A
// document that could not be captured whole is not handed over: an answer for part of it
// would say nothing of the rest.
DocumentOutcome CaptureAndAsk(SweepRun& run, DBHANDLE db, NOTEID note_id, OpenNote& note,
                              JobRecord& record, bool* delete_r) {
  for (const std::string* dir : {&run.paths.job_dir, &run.paths.result_dir}) {
    if (CreateDirectory(dir->c_str(), nullptr)) continue;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      if (dir == &run.paths.result_dir) ClearResultDirectory(*dir);
      else CleanDirectory(*dir, false);
      continue;
    }
    LogF(kLogStamped, "Unable to Create Directory %s error no = %d\n", dir->c_str(),
         static_cast<int>(GetLastError()));
    return DocumentOutcome::kNotScanned;
  }
  STATUS status = NSFNoteOpenExt(db, note_id, 0, note.out());
  if (status != NOERROR) {
    WriteLog("error: note_action in NSFNoteOpenExt", kLogStamped);
    LogNotesStatus(status);
    return DocumentOutcome::kNotScanned;
  }
  ItemDumpContext dump{note.get(), &record, &run.paths.job_dir, false, {}};
  if (NSFItemScan(note.get(), DumpOneItem, &dump) != NOERROR) {
    (void)note.Close();
    return DocumentOutcome::kNotScanned;
  }
  bool body_copied = false;
  if (!record.raw_path.empty() && FileExists(record.raw_path)) {
    int built = BuildBodyFromRaw(run, record, &body_copied);
    if (built == 1) return DocumentOutcome::kEndSearch;
    if (built != 0) return DocumentOutcome::kNotScanned;
  }
  ReadHeaderItem(note.get(), MAIL_FROM_ITEM, HeaderKind::kSender, record, run.paths.job_dir);
  for (const char* item : {MAIL_SENDTO_ITEM, MAIL_COPYTO_ITEM, MAIL_BLINDCOPYTO_ITEM})
    ReadHeaderItem(note.get(), item, HeaderKind::kRecipient, record, run.paths.job_dir);
  ReadHeaderItem(note.get(), MAIL_SUBJECT_ITEM, HeaderKind::kSubject, record,
                 run.paths.job_dir);
  if (!body_copied)
    ReadHeaderItem(note.get(), MAIL_BODY_ITEM, HeaderKind::kBody, record, run.paths.job_dir);
  const std::string first_admin =
      run.settings.admins.empty() ? std::string() : run.settings.admins.front().address;
  if (record.from.empty()) record.from = first_admin;
  if (record.recipients.empty() && !first_admin.empty())
    record.recipients.push_back(first_admin);

  if (record.attachments.empty() && record.body_path.empty()) return DocumentOutcome::kScanned;
  const std::string message_id =
      ReadItemText(note.get(), MAIL_MESSAGEID_ITEM, kMessageIdBytes);
  // A signal left over from an answer that came after its time-out must not be taken
  // for this document's answer.
  if (run.scan_event != nullptr) ResetEvent(run.scan_event);
  NextJobSequence(run);
  if (CreateHeaderFile(run, record, message_id, note_id) != 0) {
    // Nothing was handed to the engine, so there is nothing to wait for.
    WriteLog("Error in CreateHeaderFile", kLogStamped);
    return DocumentOutcome::kNotScanned;
  }
  DocumentOutcome outcome = DocumentOutcome::kScanned;
  const EngineWait waited = WaitForAnswer(run);
  if (waited == EngineWait::kAnswered) {
    if (run.timeouts > 0) --run.timeouts;
    const int applied = ApplyResult(run, note.get(), record, delete_r);
    if (applied != 0) WriteLog("Error in CheckHD0File", kLogStamped);
    if (applied == 100) outcome = DocumentOutcome::kNotScanned;
  } else if (waited == EngineWait::kTimedOut) {
    ++run.timeouts;
    ++run.totals.unanswered;
    LogF(kLogStamped, "Error: Timeout happened %u (second)... Vantrel Not Responding",
         static_cast<unsigned>(run.timeout_ms / 1000));
    return DocumentOutcome::kNotScanned;
  } else {
    outcome = DocumentOutcome::kNotScanned;
  }
  if (run.changed && note.get() != NULLHANDLE) {
    run.changed = false;
    STATUS update = NSFNoteUpdate(note.get(), 0);
    if (update != NOERROR) {
      WriteLog("update error\n", kLogStamped);
      LogNotesStatus(update);
      WriteLog("\nError in NSFNoteUpdate", kLogStamped);
    }
  }
  return outcome;
}

}  // namespace

void LogTimeoutStop(SweepRun& run) {
  if (run.timeout_stop_logged) return;
  run.timeout_stop_logged = true;
  LogF(kLogStamped, "TimeOut Happens More than %d times.. So exiting Scanning", kTimeoutLimit - 1);
}

std::string NormalizeAddress(std::string_view text) {
  return vtnotes::ReduceFromAddress(std::string(text));
}

std::string GetUniqueFileName(const std::string& directory, const char* suffix) {
  for (int n = 0; n <= kMaxUniqueNumber; ++n) {
    std::string path = foundation::JoinPath(directory, std::to_string(n) + suffix);
    if (GetFileAttributes(path.c_str()) == INVALID_FILE_ATTRIBUTES) return path;
  }
  return {};
}

int CreateHeaderFile(SweepRun& run, JobRecord& record, const std::string& message_id,
                     NOTEID note_id) {
  const std::string& job_dir = run.paths.job_dir;
  char header_name[32];
  std::snprintf(header_name, sizeof header_name, "%lX.hdr", static_cast<unsigned long>(note_id));
  if (job_dir.empty()) {
    WriteLog("Error:\tCreateHeader\tInputParamter is NULL", kLogStamped);
    return 1;
  }
  record.header_path = foundation::JoinPath(job_dir, header_name);
  const std::string hdf_path = foundation::JoinPath(job_dir, kHeaderBeingWritten);
  const std::vector<std::string> registered = RegisteredAttachmentLines(hdf_path);

  std::string text;
  if (!message_id.empty())
    text += "Message-ID: " + foundation::OneLineValue(message_id) + "\r\n";
  if (!record.body_path.empty())
    text += "Body: " + vtnotes::SpoolRelativePath(record.body_path) + "\r\n";
  if (!record.subject.empty()) {
    text += "Subject: " + foundation::OneLineValue(record.subject) + "\r\n";
    LogF(kLogTab, "Subject <%s> ", record.subject.c_str());
  }
  if (!record.from.empty()) {
    text += "From: " + foundation::OneLineValue(record.from) + "\r\n";
    LogF(kLogTab, "From <%s> ", record.from.c_str());
  }
  if (!record.recipients.empty()) {
    WriteLog("Recipient(s) <", kLogTabOpen);
    std::string to;
    for (const std::string& recipient : record.recipients) {
      if (recipient.empty()) continue;
      LogF(kLogBare, to.empty() ? "%s" : ",%s", recipient.c_str());
      to += (to.empty() ? "" : ",") + recipient;
    }
    WriteLog("> ", kLogLine);
    if (!to.empty()) text += "To: " + foundation::OneLineValue(to) + "\r\n";
  }
  if (!record.attachments.empty()) {
    WriteLog("Attachment(s) <", kLogTabOpen);
    bool first = true;
    for (const JobAttachment& attachment : record.attachments) {
      text += "Attachment: " + vtnotes::SpoolRelativePath(attachment.stored_path) + "," +
              foundation::OneLineValue(attachment.original_name) + "\r\n";
      LogF(kLogBare, first ? "%s" : ",%s", attachment.original_name.c_str());
      first = false;
    }
    WriteLog("> ", kLogLine);
    ++run.counters.with_attachments;
    run.counters.attachments += static_cast<int>(record.attachments.size());
  }
  for (const std::string& line : registered) text += line + "\r\n";
  LogF(kLogTab, "Total Attachments = %d", static_cast<int>(record.attachments.size()));

  {
    foundation::UniqueHandle file(CreateFile(hdf_path.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.valid() ||
        !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      LogSystemError();
      LogF(kLogStamped, "Error:\tCreateHeader\tUnable to write %s", hdf_path.c_str());
      return 1;
    }
  }
  // A header of the same name belongs to an earlier document with the same note ID (in an
  // earlier database of the run) whose job is over; left there, it would hold every such
  // rename up for two seconds of retries.
  DeleteFile(record.header_path.c_str());
  if (!foundation::MoveFileWithRetryForScan(hdf_path, record.header_path, LogRenameLine)) return 1;
  // scannow.txt carries the job's sequence, which the engine repeats in its answer. It is
  // written under another name and renamed, so the engine never finds it without it.
  const std::string scan_now = foundation::JoinPath(job_dir, kScanNowFile);
  const std::string scan_now_new = foundation::JoinPath(job_dir, kScanNowBeingWritten);
  const std::string sequence = run.job_sequence.empty() ? "" : run.job_sequence + "\r\n";
  bool written = false;
  {
    foundation::UniqueHandle marker(CreateFile(scan_now_new.c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD count = 0;
    written = marker.valid() &&
              WriteFile(marker.get(), sequence.data(), static_cast<DWORD>(sequence.size()),
                        &count, nullptr) &&
              count == sequence.size();
  }
  if (!written || !MoveFileEx(scan_now_new.c_str(), scan_now.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    WriteLog("Unable to Create Scannow.txt", kLogStamped);
    return 1;
  }
  return 0;
}

void CleanDirectory(const std::string& directory, bool remove_all) {
  WIN32_FIND_DATA found{};
  const std::string pattern = foundation::JoinPath(directory, "*");
  HANDLE search = FindFirstFile(pattern.c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = foundation::JoinPath(directory, name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        CleanDirectory(path, remove_all);
        if (remove_all) RemoveDirectory(path.c_str());
        continue;
      }
      const std::size_t dot = name.rfind('.');
      const bool header = dot != std::string::npos && _stricmp(name.c_str() + dot + 1, "hdr") == 0;
      if (!remove_all && header) continue;
      DeleteFile(path.c_str());
    } while (FindNextFile(search, &found));
    FindClose(search);
  }
  if (remove_all) RemoveDirectory(directory.c_str());
}

void ClearResultDirectory(const std::string& result_dir) {
  CleanDirectory(result_dir, false);
  // The engine's error answer is a ".hdr" file too, but unlike the note-ID headers of the
  // job directory it belongs to one document: left behind, it would make the engine take
  // every later document as answered already.
  for (const std::string& name : vtnotes::FindAllMatches(result_dir, "*.hdr"))
    DeleteFile(foundation::JoinPath(result_dir, name).c_str());
}

STATUS ScanDocument(void* raw_context, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto& search = *static_cast<DocumentSearch*>(raw_context);
  SweepRun& run = *search.run;
  if ((match->SERetFlags & SE_FMATCH) == 0) return NOERROR;
  const NOTEID note_id = match->ID.NoteID;
  const unsigned long id = static_cast<unsigned long>(note_id);
  DatabaseCounters& counters = run.counters;
  if (run.timeouts >= kTimeoutLimit) {
    LogTimeoutStop(run);
    ++counters.not_scanned;
    ++run.totals.not_scanned;
    return NOERROR;
  }
  ++counters.document_number;
  LogF(kLogStamped, "Number = %d  Note ID is: %lX. Scanning...", counters.document_number, id);
  DeleteFile(foundation::JoinPath(run.paths.scan_dir, kVirusNamesFile).c_str());

  OpenNote note;
  bool delete_document = false;
  run.changed = false;
  DocumentOutcome outcome = DocumentOutcome::kNotScanned;
  JobRecord record;
  try {
    outcome = CaptureAndAsk(run, search.db, note_id, note, record, &delete_document);
  } catch (...) {
    WriteLog("Error: ScanDocument caught an unexpected failure", kLogStamped);
  }
  run.job_sequence.clear();
  const bool end_search = outcome == DocumentOutcome::kEndSearch;
  // The document's header has served once the engine answered or the wait gave up. Kept,
  // every header of the run would pile up in the job directory, and the engine's look-up
  // of the newest one and each clean-up would list them all: a document would cost time
  // in proportion to the documents before it.
  if (!record.header_path.empty()) DeleteFile(record.header_path.c_str());
  if (end_search) {
    ClearResultDirectory(run.paths.result_dir);
    return 1;
  }

  if (outcome == DocumentOutcome::kScanned) {
    const int disinfected_before = counters.disinfected;
    ReportVirusNames(run.paths.scan_dir, counters);
    LogF(kLogStamped, "Number = %d Note ID is: %lX. Scanned", counters.document_number, id);
    ++counters.scanned;
    ++run.totals.documents;
    if (counters.disinfected > disinfected_before) ++run.totals.disinfected;
  } else {
    // Names the engine left now belong to no answer this document took.
    DeleteFile(foundation::JoinPath(run.paths.scan_dir, kVirusNamesFile).c_str());
    LogF(kLogStamped, "Number = %d Note ID is: %lX. Not Scanned", counters.document_number, id);
    ++counters.not_scanned;
    ++run.totals.not_scanned;
  }
  WriteLog("\r\n", kLogBare);
  if (run.window.show_count != nullptr) run.window.show_count(counters.document_number);
  ClearResultDirectory(run.paths.result_dir);

  STATUS status = note.Close();
  if (status != NOERROR) return status;
  if (delete_document) {
    status = NSFNoteDelete(search.db, note_id, kNoteDeleteFlags);
    if (status != NOERROR) {
      LogNotesStatus(status);
      WriteLog("\nERROR!!! Unable to DeleteMailFromMAILBOX... Reason above.", kLogStamped);
      return status;
    }
  }
  Sleep(2);
  return NOERROR;
}

}  // namespace vtsweep
