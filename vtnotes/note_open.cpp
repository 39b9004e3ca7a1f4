// note_open.cpp - TrackerNoteOpen: the scan decision, the job, the wait and the verdict.
//
// Every note the router opens passes here. A mail of a router mail box is filtered, then
// registered in the JobList under its JobId, captured into its IN job directory, published
// to the engine and waited for with the adaptive time-out; the engine's answer is applied
// to the opened note, and the return status tells the router to go on (0) or to leave the
// mail, which is being deleted (582).
//
// Locks: gMutex while the JobList is searched or extended (and, as it always has, while a
// later opener of the same note waits for the job mutex); the job mutex from the job's
// creation to the end of this call; MyMutex around changes of the current time-out and of
// the active flag; MailBoxMutex around the DeletionList. A thread that owns a job mutex
// never waits for gMutex. Every one of them is held through an owner (MutexHold,
// JobMutexOwnership, RecordUse) that lets go on every way out of the call, exceptions
// included: a job mutex left owned would make the next opener of the note wait forever
// while holding gMutex, and with it every router thread.
//
// A mail that cannot be scanned (scanning off, its job not written, no verdict from the
// engine) passes as it always has, counted and with the administrators told; with
// HoldMailWhenNotScanned set it stays in its mail box instead, and the router tries it
// again until it can be scanned.
#include "vtnotes/note_open.h"

#include <cstring>

#include "foundation/log.h"
#include "platform/win32/windows.h"
#include "vtnotes/apply.h"
#include "vtnotes/capture.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/hooks.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/spool.h"
#include "vtnotes/vtnotes_log.h"
#include "vtnotes/warnings.h"

namespace vtnotes {

JobSteps DefaultJobSteps() { return JobSteps{ExtractAttachment, FetchBody, CheckHD0File}; }

JobSteps& Steps() {
  static JobSteps steps = DefaultJobSteps();
  return steps;
}

namespace {

constexpr NOTEID kNeverScannedNoteId = 0x12E;
constexpr std::size_t kMarkChars = 999;
constexpr std::size_t kReplacePersonLengthChars = 1000;
// Mails remembered as announced while scanning is off (see AnnounceInactive).
constexpr std::size_t kAnnouncedMails = 4096;

// This call's ownership of its job mutex, let go on every way out of the call.
class JobMutexOwnership {
 public:
  JobMutexOwnership() = default;
  ~JobMutexOwnership() { Release(); }
  JobMutexOwnership(const JobMutexOwnership&) = delete;
  JobMutexOwnership& operator=(const JobMutexOwnership&) = delete;

  // REQUIRES: the calling thread owns `job_mutex`.
  void Take(HANDLE job_mutex) { mutex_ = job_mutex; }
  void Release() {
    if (mutex_ == nullptr) return;
    foundation::ReleaseNamedMutex(mutex_);
    mutex_ = nullptr;
  }
  [[nodiscard]] bool owned() const { return mutex_ != nullptr; }

 private:
  HANDLE mutex_ = nullptr;
};

// Everything one call of the hook knows about its mail. Members are let go in reverse
// order: the job mutex before the record that holds its handle.
struct OpenCall {
  STATUS status = NOERROR;
  bool handled = false;       // this thread ran the job
  bool scanned = false;       // the answer was applied, or the mail needed no scan
  bool mail_changed = false;  // the mail was altered or is being removed
  bool finished = false;      // FinishCall ran
  NOTEHANDLE note = NULLHANDLE;
  NOTEID note_id = 0;
  std::string mailbox_path;
  std::string mailbox_number;
  std::string job_id;
  std::string in_job;
  std::string out_job;
  std::shared_ptr<JobRecord> record;
  JobMutexOwnership job_mutex;
  foundation::UniqueHandle job_event;
  std::unique_ptr<MailInfo> info;
  std::uint64_t mail_size = 0;
};

// Counts this call among the users of its record for as long as it works on the job.
class RecordUse {
 public:
  explicit RecordUse(OpenCall& call) : call_(call) {}
  ~RecordUse() {
    if (call_.record) --call_.record->users;
  }
  RecordUse(const RecordUse&) = delete;
  RecordUse& operator=(const RecordUse&) = delete;

 private:
  OpenCall& call_;
};

void WriteMailSummary(const OpenCall& call) {
  if (foundation::DebugLevel() == 0 || !call.info) return;
  const MailInfo& info = *call.info;
  const char* id = call.job_id.c_str();
  const std::string rule(59, '-');
  Always("%s", rule.c_str());
  if (!info.header_path.empty()) Always("(%s)Header: %s", id, info.header_path.c_str());
  if (!info.body_path.empty()) Always("(%s)Body: %s", id, info.body_path.c_str());
  if (!info.posted_date.empty()) Always("(%s)Date: %s", id, info.posted_date.c_str());
  if (!info.from.empty()) Always("(%s)From: %s", id, info.from.c_str());
  if (!info.recipients.empty()) Always("(%s)To: %s", id, info.recipients.c_str());
  if (!info.subject.empty()) Always("(%s)Subject: %s", id, info.subject.c_str());
  for (const AttachmentNode& node : info.attachments)
    Always("(%s)%s (%s)", id, node.display_name.c_str(), node.file_path.c_str());
  Always("%s", rule.c_str());
}

std::string Trimmed(const std::string& text) {
  const char* kBlanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// True the first time a mail is seen while scanning is off. The router opens a mail more
// than once (to route it, then to deliver it); the event log names it once.
bool FirstNoticeOf(NOTEID note_id, NOTEHANDLE note) {
  TIMEDATE created{};
  if (note != NULLHANDLE) NSFNoteGetInfo(note, _NOTE_OID, &created);
  const std::string key = Format("%lx-%lx-%lx", static_cast<unsigned long>(note_id),
                                 static_cast<unsigned long>(created.Innards[0]),
                                 static_cast<unsigned long>(created.Innards[1]));
  ExtensionState& state = State();
  std::lock_guard<std::mutex> lock(state.announced_mutex);
  if (!state.announced.insert(key).second) return false;
  state.announced_order.push_back(key);
  if (state.announced_order.size() > kAnnouncedMails) {
    state.announced.erase(state.announced_order.front());
    state.announced_order.pop_front();
  }
  return true;
}

}  // namespace

// A sender that begins with '@', or that has no complete <address> and leaves a double
// quote open, is a forged or broken sender.
bool IsInvalidFromAddress(const std::string& raw_from) {
  std::string from = Trimmed(raw_from);
  if (from.empty()) return false;
  if (from.front() == '@') return true;
  bool bracketed = from.find('<') != std::string::npos && from.find('>') != std::string::npos;
  if (bracketed) return false;
  std::size_t quotes = 0;
  for (char c : from) quotes += c == '"';
  return quotes % 2 == 1;
}

namespace {

// Step 27: the mail is entered for deletion; 582 on success.
void MarkForDeletion(OpenCall& call) {
  ExtensionState& state = State();
  if (call.record) {
    call.record->marked_for_deletion = true;
    Always("[%s] 1-> Delete.txt found. So deleting the mail %s", call.job_id.c_str(),
           call.out_job.c_str());
  }
  foundation::MutexHold hold(state.mailbox_mutex.get());
  if (state.deletion_list.Add(DeletionList::EntryText(call.mailbox_number, call.note_id))) {
    call.status = kStatusMarkedForDeletion;
    Log("Added the NOTEID [%lx] in the delete list", static_cast<unsigned long>(call.note_id));
  } else {
    Always("ERROR!!! Unable to Add the NOTEID [%lx] in the list",
           static_cast<unsigned long>(call.note_id));
    if (call.record) call.record->marked_for_deletion = false;
    call.status = NOERROR;
  }
}

// Steps 28 to 31.
STATUS FinishCall(OpenCall& call) {
  ExtensionState& state = State();
  const bool first_time = !call.finished;
  call.finished = true;
  if (call.status != kStatusMarkedForDeletion && call.status != kStatusHeldForScan)
    call.status = NOERROR;
  call.info.reset();
  if (first_time && call.handled && call.record && !call.mail_changed) {
    call.record->no_virus = true;
    Log("1-> No Virus in this mail So Deleting folder %s", call.out_job.c_str());
    if (!state.keep_out_jobs) {
      DeleteTree(call.out_job, true);
      // The captured mail is done with too; left, IN would fill up with every clean mail.
      DeleteTree(call.in_job, true);
    }
  }
  call.job_mutex.Release();
  if (first_time && call.handled) {
    if (call.scanned) {
      Always("[%s] 1-> Scanned %s directory...Virus Found = %d and return code = %d",
             call.job_id.c_str(), call.out_job.c_str(), call.mail_changed ? 1 : 0, call.status);
    } else if (call.status != kStatusMarkedForDeletion) {
      Always("[%s] %s directory NOT SCANNED!", call.job_id.c_str(), call.out_job.c_str());
      CountSkippedMail();
    }
  }
  if (call.job_event.valid()) {
    HANDLE event = call.job_event.release();
    if (!CloseHandle(event)) {
      SystemErrorLine();
      Log("ERROR!!!  %s Close Event Fails...Reason above.", JobEventName(call.job_id).c_str());
    }
  }
  return call.status;
}

// Leaves the mail in its mail box for the router to try again. Its job is undone (the
// directories removed, the record left without a verdict), so the next open starts the
// job afresh; the administrators hear of held mail once per time-out period.
STATUS HoldMail(OpenCall& call, const std::string& reason) {
  Always(
      "[%s] The Lotus Notes Mail having notes ID %lx (in %s) could not be scanned (%s). "
      "It stays in the mail box to be tried again.",
      call.job_id.c_str(), static_cast<unsigned long>(call.note_id), call.mailbox_path.c_str(),
      reason.c_str());
  // Only the owner of the job undoes it; a call that never obtained the job mutex leaves
  // the job to the thread that runs it.
  const bool owns_job = call.job_mutex.owned();
  if (owns_job) {
    DeleteTree(call.out_job, true);
    DeleteTree(call.in_job, true);
  }
  if (AdminWarningDue(AdminWarning::kHeld))
    SendAdminWarningMail(AdminWarning::kHeld, call.info.get(), call.job_id, call.mail_size,
                         call.mailbox_path, reason);
  if (call.record && owns_job) call.record->held_for_scan = true;
  call.handled = false;
  call.status = kStatusHeldForScan;
  return FinishCall(call);
}

// Why a registered mail went without a verdict; decides whom a passing mail is reported to.
// kObjects: the job's named objects could not be made (no room for them, or refused).
enum class NotScanned { kCapture, kObjects, kEngineError, kOther };

// A registered mail that could not be scanned: held when HoldMailWhenNotScanned is set,
// else it passes, counted as skipped, with the log saying why and the administrators told.
STATUS EndNotScanned(OpenCall& call, NotScanned why, const std::string& reason) {
  ExtensionState& state = State();
  if (state.hold_when_not_scanned) return HoldMail(call, reason);
  call.handled = true;
  call.scanned = false;
  Always(
      "(skipped) The Lotus Notes Mail having notes ID %lx (in %s) was not scanned for "
      "viruses: %s.  MailSize is %llu Bytes",
      static_cast<unsigned long>(call.note_id), call.mailbox_path.c_str(), reason.c_str(),
      static_cast<unsigned long long>(call.mail_size));
  if ((why == NotScanned::kCapture || why == NotScanned::kObjects) && state.warn_when_disabled &&
      AdminWarningDue(AdminWarning::kDisabled)) {
    SendAdminWarningMail(AdminWarning::kDisabled, call.info.get(), call.job_id, call.mail_size,
                         call.mailbox_path, reason);
  } else if (why == NotScanned::kEngineError && state.warn_on_timeout) {
    SendAdminWarningMail(AdminWarning::kBypassed, call.info.get(), call.job_id, call.mail_size,
                         call.mailbox_path, reason);
  }
  return FinishCall(call);
}

// The scan job could not be written into the spool.
STATUS CaptureFailed(OpenCall& call, const char* what) {
  return EndNotScanned(
      call, NotScanned::kCapture,
      Format("its scan job could not be written to %s (%s failed)", call.in_job.c_str(), what));
}

// Step 24's time-out branch.
void HandleTimeout(OpenCall& call, DWORD waited_ms) {
  ExtensionState& state = State();
  {
    foundation::MutexHold hold(state.my_mutex.get());
    if (!foundation::IsEngineRunning(state.install_directory)) {
      // Mails timing out together find the engine gone together; the administrators hear
      // it once, from the one that turned scanning off.
      const bool was_active = state.active.exchange(false);
      if (was_active && state.warn_when_disabled)
        SendAdminWarningMail(AdminWarning::kDisabled, call.info.get(), call.job_id, call.mail_size,
                             call.mailbox_path);
    }
    DeleteTree(call.in_job, true);
    LengthenTimeout();
  }
  Always("(skipped) ERROR!!! %s Vantrel not responding...TimeOut period = %lu (second)",
         call.out_job.c_str(), static_cast<unsigned long>(waited_ms / 1000));
  const std::string header = JoinPath(call.in_job, "0.hdr");
  Always(FileExists(header) ? "%s file present." : "%s file absent.", header.c_str());
  CountTimeout(call.mail_size, state.current_timeout_ms);
  if (state.hold_when_not_scanned) return;  // the caller holds the mail
  Always(
      "(skipped) The Lotus Notes Mail having notes ID %lx (in %s) was not scanned for "
      "viruses as Vantrel could not complete scanning within the timeout period.  MailSize "
      "is %llu Bytes",
      static_cast<unsigned long>(call.note_id), call.mailbox_path.c_str(),
      static_cast<unsigned long long>(call.mail_size));
  if (state.warn_on_timeout)
    SendAdminWarningMail(AdminWarning::kBypassed, call.info.get(), call.job_id, call.mail_size,
                         call.mailbox_path);
  else
    Log("\"TimeOutWarningToAdmin\" Option Disabled");
}

// The copy of a mail that the size-restriction extension marked FORWARD: a copy that
// failed keeps the original instead; when that fails too the mail is not to leave the box.
// False in that case.
bool ForwardToQuarantine(OpenCall& call) {
  if (!call.info) return true;
  if (CopyQuarantine(call.note, call.in_job, *call.info, true) == NOERROR) return true;
  return KeepMailAfterFailedCopy(call.note, call.info.get(), call.job_id, call.mailbox_path);
}

// Steps 15 to 27 for a registered job.
STATUS RunJob(OpenCall& call) {
  ExtensionState& state = State();
  const char* id = call.job_id.c_str();

  bool out_existed = false;
  if (!CreateSpoolDirectory(call.out_job, &out_existed)) {
    if (!out_existed) {
      SystemErrorLine();
      Always(
          "ERROR!!! %s: Create Directory Fails! Reason given above. So Sending mail without "
          "Scanning",
          call.out_job.c_str());
      return CaptureFailed(call, "creating the OUT job directory");
    }
    Trace("%s AlreadyExist. Pls Wait", call.out_job.c_str());
    Log("%s Processing From Directory", call.out_job.c_str());
    MailInfo info;
    int result = Steps().check_hd0_file(call.out_job, call.note, info, false, call.mailbox_path,
                                        call.mail_changed, call.job_id);
    if (result == 100 || result == kApplyNoAnswer)
      Log("ERROR!!! %s CheckHD0File Fails here...", call.out_job.c_str());
    if (result == kApplyLeaveInBox)
      return HoldMail(call, "the engine's answer could not be applied whole");
    Trace("%s Secondary Thread Over", call.out_job.c_str());
    return FinishCall(call);
  }
  Trace("%s Created in Out Dir", call.out_job.c_str());
  // A new job starts from an empty IN job directory: files left there by a router that
  // ended in the middle of a job would be mixed into this capture (the body file is
  // appended to).
  if (DirectoryExists(call.in_job)) DeleteTree(call.in_job, false);
  if (!DirectoryExists(call.in_job) && !CreateSpoolDirectory(call.in_job)) {
    SystemErrorLine();
    Always(
        "ERROR!!! %s: Create Directory Fails! Reason given above. So Sending mail without "
        "Scanning",
        call.in_job.c_str());
    DeleteTree(call.in_job, true);
    return CaptureFailed(call, "creating the IN job directory");
  }
  Log("1-> Processing %s Dir...", call.in_job.c_str());

  Trace("%s Created in IN Dir", call.in_job.c_str());
  Trace("%s Extract Attachment start...", call.in_job.c_str());
  if (Steps().extract_attachment(call.note, call.in_job, call.job_id, call.info) != 0) {
    Always("[%s] ERROR!!! in ExtractAttachment", id);
    DeleteTree(call.in_job, true);
    WriteMailSummary(call);
    return CaptureFailed(call, "ExtractAttachment");
  }
  Trace("%s Extract Attachment OK", call.in_job.c_str());

  // Marks left by the size-restriction extension.
  char mark[kMarkChars + 1] = {};
  NSFItemGetText(call.note, "X-Vantrel", mark, sizeof mark);
  const bool forward = lstrcmpi(mark, "FORWARD") == 0;
  const bool remove = lstrcmpi(mark, "DELETE") == 0;
  if (forward) {
    Always(
        "Mail Having X-Vantrel: \"FORWARD\". So it may be added by rights.dll. So Forward "
        "the Mail Admin ");
    if (!ForwardToQuarantine(call))
      return HoldMail(call, "the forward copy failed and the original could not be kept");
  } else if (remove) {
    Always(
        "Mail Having X-Vantrel: \"DELETE\". So it may be added by rights.dll. So Delete the "
        "Mail");
  }
  if (forward || remove) {
    char length[kReplacePersonLengthChars + 1] = {};
    if (NSFItemGetText(call.note, "ReplacePersonLength", length, sizeof length) == 0) {
      Always("\"ReplacePerson\" Details Not Present, So Deleting the Mail Now...");
      call.mail_changed = true;
      MarkForDeletion(call);
      return FinishCall(call);
    }
    Always("\"ReplacePerson\" Details Present, So ***NOT*** Deleting the Mail...");
  }

  if (!call.info) {
    Always("ERROR!!! mailinfo is NULL");
    return CaptureFailed(call, "ExtractAttachment");
  }
  MailInfo& info = *call.info;
  if (Steps().fetch_body(call.note, info, call.in_job, call.job_id) != 0) {
    Always("[%s] ERROR!!! in Mail Process", id);
    DeleteTree(call.in_job, true);
    WriteMailSummary(call);
    return CaptureFailed(call, "FetchBody");
  }
  Log("FetchBody Complete.");
  if (!info.from.empty() && IsInvalidFromAddress(info.from)) {
    Always("[%s] Deleting mail as it has invalid From address!", id);
    call.mail_changed = true;
    MarkForDeletion(call);
    return FinishCall(call);
  }
  Log("%s FetchBody OK", id);
  if (info.recipients.empty()) {
    Always("[%s] NULL Recipient List. Could be Non-Delivery-Report (NDR). Ignoring...", id);
    DeleteTree(call.in_job, true);
    Trace("%s Deleting Directory and Fils bcz may be TO is NULL", call.in_job.c_str());
    call.handled = true;
    call.scanned = true;
    return FinishCall(call);
  }

  Log("NSFItemGetTime");
  TIMEDATE posted{};
  if (NSFItemGetTime(call.note, MAIL_POSTEDDATE_ITEM, &posted)) {
    char text[kMaxPostedDateChars] = {};
    WORD text_len = 0;
    STATUS status = ConvertTIMEDATEToText(nullptr, nullptr, &posted, text, sizeof text, &text_len);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("ERROR!!! TrackerNoteOpen()...ConvertTIMEDATEToText Fails Reason above");
    } else {
      info.posted_date = text;
    }
  }
  Log("%s PostedTime OK...", id);
  Log("%s CreateHeader start...", id);

  if (CreateHeaderFile(info, call.in_job, call.out_job, call.job_id, &call.mail_size) != 0) {
    Always("ERROR!!! in CreateHeaderFile Reason above");
    WriteMailSummary(call);
    return CaptureFailed(call, "CreateHeaderFile");
  }
  Log("%s CreateHeader OK", id);
  Log("1-> Ready for Scanning - %s Dir", call.in_job.c_str());
  Trace("%s CheckHD0File Start", call.out_job.c_str());
  Always("[%s] Waiting for mail in %s to get Scanned.  Mail Size is %llu Bytes.", id,
         call.out_job.c_str(), static_cast<unsigned long long>(call.mail_size));

  const long wait_ms = std::max<long>(0, state.current_timeout_ms.load());
  DWORD result = WaitForSingleObject(call.job_event.get(), static_cast<DWORD>(wait_ms));
  if (result == WAIT_OBJECT_0) {
    if (state.current_timeout_ms > state.base_timeout_ms) {
      foundation::MutexHold hold(state.my_mutex.get());
      ShortenTimeout();
      Log("Current Timeout reduced by 30 second %ld", state.current_timeout_ms.load());
    }
    int applied = Steps().check_hd0_file(call.out_job, call.note, info, true, call.mailbox_path,
                                         call.mail_changed, call.job_id);
    if (applied == 100) {
      // No verdict: the mail passes as it always has, but never silently.
      Always("ERROR!!! %s CheckHD0File Error \"error.hdr\" Present.", call.out_job.c_str());
      return EndNotScanned(call, NotScanned::kEngineError,
                           "the engine answered with an error instead of a verdict");
    }
    if (applied == kApplyNoAnswer) {
      Always("ERROR!!! %s CheckHD0File Error: the job was signalled without a complete answer",
             call.out_job.c_str());
      return EndNotScanned(call, NotScanned::kEngineError,
                           "the engine signalled its job without a complete answer");
    }
    if (applied == kApplyLeaveInBox)
      return HoldMail(call, "the answer could not be applied whole and the original could not "
                            "be kept");
    if (applied != 0) {
      Always("ERROR!!! %s CheckHD0File Error", call.out_job.c_str());
      if (state.hold_when_not_scanned)
        return HoldMail(call, "the engine's answer could not be applied");
      DeleteTree(call.out_job, false);
      foundation::UniqueHandle marker(CreateFile(JoinPath(call.out_job, "error.HD0").c_str(),
                                                 GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      return FinishCall(call);
    }
    Trace("%s PrimaryThread Over", call.out_job.c_str());
    call.scanned = true;
  } else if (result == WAIT_TIMEOUT) {
    HandleTimeout(call, static_cast<DWORD>(wait_ms));
    if (state.hold_when_not_scanned)
      return HoldMail(call, "the engine did not answer within the time-out");
  } else {
    Event(
        "(skipped) WaitForSingleObject returned %lu for mail notes ID %lx (in %s).  Mail Size "
        "is %llu Bytes.",
        static_cast<unsigned long>(result), static_cast<unsigned long>(call.note_id),
        call.mailbox_path.c_str(), static_cast<unsigned long long>(call.mail_size));
    if (state.hold_when_not_scanned) return HoldMail(call, "waiting for the engine failed");
  }

  call.handled = true;
  const std::string delete_file = FindFirstMatch(call.out_job, "delete.txt");
  if (delete_file.empty()) {
    Log("returning NOERROR");
    return FinishCall(call);
  }
  if (SpoolFileSize(JoinPath(call.out_job, delete_file)) == 0) {
    call.mail_changed = true;
    MarkForDeletion(call);
  }
  return FinishCall(call);
}

// A mail of a router mail box that is not scanned at all (scanning is off) while
// HoldMailWhenNotScanned is set: it stays in the box; no job is made for it.
STATUS HoldUnregistered(const OpenCall& call, const char* reason) {
  Always(
      "[%s] The Lotus Notes Mail having notes ID %lx (in %s) could not be scanned (%s). "
      "It stays in the mail box to be tried again.",
      call.job_id.c_str(), static_cast<unsigned long>(call.note_id), call.mailbox_path.c_str(),
      reason);
  if (AdminWarningDue(AdminWarning::kHeld))
    SendAdminWarningMail(AdminWarning::kHeld, nullptr, call.job_id, 0, call.mailbox_path, reason);
  return kStatusHeldForScan;
}

// Steps 1 to 14, then the job.
STATUS CheckAndRun(OpenCall& call, DBHANDLE db) {
  ExtensionState& state = State();
  const NOTEID note_id = call.note_id;
  const NOTEHANDLE note = call.note;
  foundation::SetDebugLevel(HookVerbosity(state.debug_level));

  // Why this mail is not scanned at all; with HoldMailWhenNotScanned it is held once the
  // filters below have shown it to be a mail that would be scanned.
  const char* not_scanning = nullptr;
  if (!state.active) {
    if (FirstNoticeOf(note_id, note)) Event("Vantrel is not active.");
    if (!state.hold_when_not_scanned) {
      Log("vantrel is Disabled, sending mail without scanning");
      return NOERROR;
    }
    not_scanning = "Vantrel is not active";
  }
  // The level as start-up or the last reload read it, not the registry again: this runs on
  // every open of every mail, and a registry read is a file read and parse.
  if (state.debug_level == 3) {
    Event("Mail Scanned with Debugging Effect... Self-Test has been disabled.");
    return NOERROR;
  }
  const long base = state.base_timeout_ms;
  const long ceiling = state.timeout_ceiling_ms;
  if (!not_scanning && state.current_timeout_ms >= ceiling) {
    // A base time-out under a second would divide by zero; it counts as one second.
    Always(
        "WARNING!!! Continuous timeout happened in %ld minutes! Hence sending mail without "
        "scanning...",
        (ceiling / 1000) / std::max<long>(1, base / 1000));
    if (!state.hold_when_not_scanned) return NOERROR;
    // The ceiling stays until the settings are reloaded (UpdateEvent), as it always has;
    // held mails flow again from then on.
    not_scanning =
        "the engine timed out continuously; scanning resumes when the settings are "
        "reloaded";
  }
  if (db == NULLHANDLE) return NOERROR;

  char canonical[MAXPATH] = {};
  STATUS status = NSFDbPathGet(db, canonical, nullptr);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Log("ERROR!!! in NSFDBPathGet Reason above.");
    return NOERROR;
  }
  call.mailbox_path = canonical;
  if (!IsRouterMailBox(call.mailbox_path)) return NOERROR;
  if (note == NULLHANDLE) return NOERROR;
  if (MailIsNonDeliveryReport(note)) {
    Log("NonDeliveryReport Mail");
    return NOERROR;
  }
  if (!NSFItemIsPresent(note, "$File", 5) && !NSFItemIsPresent(note, "Body", 4)) return NOERROR;
  if (!state.vantrel_id.empty()) {
    char mark[MAXPATH] = {};
    NSFItemGetText(note, "X-Vantrel", mark, sizeof mark);
    if (lstrcmpi(mark, state.vantrel_id.c_str()) == 0) {
      Log("This a Warning Message. Do not Scan...");
      return NOERROR;
    }
  }
  if (note_id == 0) {
    Log("ERROR!!! ConvertOid()! Note OID is NULL");
    Log("ERROR!!! Unable to Get NoteID");
    return NOERROR;
  }
  call.mailbox_number = MailboxNumber(call.mailbox_path);
  call.job_id = MakeJobId(call.mailbox_number, note_id);
  if (call.job_id.empty()) {
    Log("ERROR!!! in MakePerfectPathName");
    return NOERROR;
  }
  call.in_job = JoinPath(state.in_directory, call.job_id);
  call.out_job = JoinPath(state.out_directory, call.job_id);
  const std::string record_name = JobMutexName(call.job_id);
  Trace("In = %s; Out = %s", call.in_job.c_str(), call.out_job.c_str());
  if (note_id == kNeverScannedNoteId) return NOERROR;
  if (not_scanning) return HoldUnregistered(call, not_scanning);

  {
    foundation::MutexHold g_hold(state.g_mutex.get());
    if (!g_hold.held()) return EndNotScanned(call, NotScanned::kOther, "gMutex was not obtained");
    TIMEDATE created{};
    NSFNoteGetInfo(note, _NOTE_OID, &created);
    call.record = state.job_list.Find(record_name);
    if (call.record && call.record->mail_deleted &&
        std::memcmp(&call.record->note_created, &created, sizeof created) != 0) {
      // The remembered mail is gone and a new one was given its note ID.
      Log("%s Released: the note ID belongs to a new mail", record_name.c_str());
      (void)state.job_list.Remove(record_name);
      call.record.reset();
    }
    if (call.record) {
      ++call.record->users;
      call.record->time_stamp = GetTickCount();
      // gMutex stays held while this waits: the first opener of the note finishes first.
      if (foundation::WaitObject(call.record->job_mutex.get(), INFINITE) != 0)
        return EndNotScanned(call, NotScanned::kOther, "its job mutex was not obtained");
      call.job_mutex.Take(call.record->job_mutex.get());
    } else {
      auto record = std::make_shared<JobRecord>();
      record->name = record_name;
      record->out_path = call.out_job;
      record->mailbox_number = call.mailbox_number;
      record->note_id = note_id;
      record->note_created = created;
      record->time_stamp = GetTickCount();
      HANDLE job_mutex = nullptr;
      if (foundation::OpenMutexForUse(job_mutex, true, record_name.c_str()) != 0) {
        SystemErrorLine();
        return EndNotScanned(call, NotScanned::kObjects, "its job mutex could not be created");
      }
      // A mutex of that name left open elsewhere is not owned by its creation; take it.
      if (GetLastError() == ERROR_ALREADY_EXISTS &&
          foundation::WaitObject(job_mutex, INFINITE) != 0) {
        CloseHandle(job_mutex);
        return EndNotScanned(call, NotScanned::kOther, "its job mutex was not obtained");
      }
      record->job_mutex.reset(job_mutex);
      ++record->users;
      call.record = state.job_list.Append(record);
      call.job_mutex.Take(call.record->job_mutex.get());
    }
  }

  if (call.record->no_virus) {
    Log("%s No virus Found in Memory LinkedList", record_name.c_str());
    call.job_mutex.Release();
    return NOERROR;
  }
  if (call.record->marked_for_deletion) {
    Log("%s Mail has been marked for deletion so return error code.", record_name.c_str());
    call.job_mutex.Release();
    return kStatusMarkedForDeletion;
  }
  if (call.record->held_for_scan) {
    // Held the last time: whatever an engine left for that job since is not this job's
    // answer; the job starts afresh.
    call.record->held_for_scan = false;
    DeleteTree(call.out_job, true);
    DeleteTree(call.in_job, true);
  }

  const bool new_job = !call.job_event.valid() && !DirectoryExists(call.out_job);
  if (new_job) {
    call.job_event.reset(CreateEvent(nullptr, FALSE, FALSE, JobEventName(call.job_id).c_str()));
    if (!call.job_event.valid()) {
      SystemErrorLine();
      Always("ERROR!!! %s Unable to Create Event...Reason above",
             JobEventName(call.job_id).c_str());
      // Without its event no answer could be awaited: the mail is not scanned, and says so.
      return EndNotScanned(call, NotScanned::kObjects, "its job event could not be created");
    }
  } else {
    // A later opener re-applies the first answer without the job mutex, as the first
    // opener has finished with the job.
    call.job_mutex.Release();
  }
  return RunJob(call);
}

// An exception broke the call off: the call is ended as any call ends, the job mutex and
// event let go (their owners do that too, should this fail as well).
STATUS AfterException(OpenCall& call) {
  try {
    Always("1-> Scanned %s directory...Virus Found = %d", call.out_job.c_str(),
           call.mail_changed ? 1 : 0);
    Always("ERROR!!! in NoteOpen function");
    if (call.record && !call.scanned && call.status != kStatusMarkedForDeletion && !call.finished) {
      // The job broke off before its verdict was applied: the mail is not scanned.
      return EndNotScanned(call, NotScanned::kOther,
                           "an unexpected failure broke its scan job off");
    }
    return FinishCall(call);
  } catch (...) {
    Always("ERROR!!! in NoteOpen function");
    return call.status == kStatusMarkedForDeletion || call.status == kStatusHeldForScan
               ? call.status
               : NOERROR;
  }
}

STATUS OpenMail(DBHANDLE db, NOTEID note_id, NOTEHANDLE note) {
  OpenCall call;
  call.note = note;
  call.note_id = note_id;
  RecordUse use(call);
  try {
    return CheckAndRun(call, db);
  } catch (...) {
    return AfterException(call);
  }
}

}  // namespace

STATUS NoteOpen(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID note_id, NOTEHANDLE note, WORD) {
  ExtensionState& state = State();
  // Counted before the flags are read, so that TrackerTerm, which sets the flag and then
  // waits for the count to drop, never misses a call that is about to begin.
  ++state.hooks_in_flight;
  struct InFlight {
    ~InFlight() { --State().hooks_in_flight; }
  } in_flight;
  if (!state.started || state.shutdown) return NOERROR;
  try {
    return OpenMail(db, note_id, note);
  } catch (...) {
    Always("ERROR!!! in NoteOpen function");
    return NOERROR;
  }
}

}  // namespace vtnotes
