// apply.cpp - see apply.h.
#include "vtnotes/apply.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtnotes/capture.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/vtnotes_log.h"
#include "vtnotes/warnings.h"

namespace vtnotes {
namespace {

constexpr const char* kBodyDelimiters = "\r\n\x1a";
constexpr std::size_t kDisclaimerLineChars = 999;
constexpr std::size_t kReplacePersonLengthChars = 259;
// ReplacePerson is read into a buffer of the size its length item gives; a larger claim
// than a text item can hold comes from a damaged mark.
constexpr long kMaxReplacePersonBytes = 65535;

// The file names of an OUT job directory, listed once. The engine has written every answer
// file before it sets the job event, and applying an answer asks for eight names: listed for
// each, the directory was read eight times a mail.
class AnswerFiles {
 public:
  explicit AnswerFiles(const std::string& directory)
      : names_(FindAllMatches(directory, "*")) {}

  // The first name, in the order the directory lists them, that equals `pattern` or, for a
  // pattern "*<suffix>", ends in the suffix; names compare without regard to case, as the
  // file search does. Empty when none does.
  [[nodiscard]] std::string First(std::string_view pattern) const {
    const bool any_stem = !pattern.empty() && pattern.front() == '*';
    const std::string_view wanted = any_stem ? pattern.substr(1) : pattern;
    for (const std::string& name : names_) {
      if (any_stem ? name.size() >= wanted.size() &&
                         foundation::EqualsNoCase(
                             std::string_view(name).substr(name.size() - wanted.size()), wanted)
                   : foundation::EqualsNoCase(name, wanted))
        return name;
    }
    return {};
  }
  [[nodiscard]] bool Has(std::string_view pattern) const { return !First(pattern).empty(); }

 private:
  std::vector<std::string> names_;
};

std::string Trimmed(const std::string& text) {
  const char* kBlanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// The recipient rewrite reports to the scratch log, as the size-restriction extension whose
// marks it reads does: a Notes status first, then the message.
void ScratchStatus(STATUS status) {
  if (ERR(status) == NOERROR) return;
  std::string text = foundation::NotesStatusText(status);
  foundation::ScratchLog(
      Format("STATUS: %u (%s)", static_cast<unsigned>(status & 0xFFFF),
             text.empty() ? "Unable to locate message in string tables" : text.c_str()));
}

// True unless the result header names a body or an attachment that is not there: applied,
// such an answer would deliver the mail without its text or without a clean attachment.
bool ChangeFilesPresent(const std::string& out_job_dir, const std::string& result,
                        const std::string& out_directory) {
  MailInfo named;
  // A header without a Body line changes nothing of the note; it is no incomplete answer.
  if (ReadFromFile(out_job_dir, result, out_directory, named) != 0) return true;
  bool present = named.body_path.empty() || FileExists(named.body_path);
  for (const AttachmentNode& node : named.attachments)
    present = present && FileExists(node.file_path);
  if (!present)
    Always("ERROR!!! %s The answer names files that are not there", out_job_dir.c_str());
  return present;
}

// Left in the OUT job directory when a mail went out with the notice, for later opens.
constexpr const char* kNotAppliedMarker = "NotApplied.txt";
// The text that takes the place of a mail whose verdict could not be applied whole.
constexpr const char* kNotAppliedNotice =
    "Vantrel could not deliver this mail as it should have been cleaned. The original is kept "
    "by your administrators, who have been told.";

// After a verdict that was applied by halves: the mail keeps nothing that was not scanned
// clean, only the notice. False when even that cannot be done.
bool ReduceToNotice(NOTEHANDLE note) {
  for (;;) {
    BLOCKID item{};
    if (!MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr))
      break;
    if (NSFNoteDetachFile(note, item) != NOERROR) return false;
  }
  for (const char* name : {MAIL_BODY_ITEM, "$NoteHasNativeMIME", "MIME_Version"}) {
    STATUS status = NSFItemDelete(note, name, static_cast<WORD>(std::strlen(name)));
    if (status != NOERROR && ERR(status) != ERR_ITEM_NOT_FOUND) return false;
  }
  return NSFItemSetText(note, MAIL_BODY_ITEM, kNotAppliedNotice, MAXWORD) == NOERROR;
}

// NewChangeBody with the original kept: a cleaned body and attachments that could not all be
// written into the note would deliver the mail without part of what it should keep (a
// clean attachment) or with part of what it should not. The original is kept first, unless
// a quarantine copy already holds it (`kept_in`); when the change fails, the mail goes out
// with a notice only and the administrators are told where the original is. False when the
// mail is to stay in the box: the change failed and the original could not be kept.
bool ChangeBodyKeepingTheOriginal(NOTEHANDLE note, const std::string& out_job_dir,
                                  const MailInfo& info, bool delete_mode, bool primary,
                                  std::string kept_in, const std::string& job_id,
                                  const std::string& mailbox_path) {
  std::string kept_file;
  if (primary && kept_in.empty()) kept_file = KeepOriginalMail(note, job_id);
  if (NewChangeBody(note, out_job_dir, info, false, delete_mode) == NOERROR) {
    if (!kept_file.empty()) ForgetKeptMail(kept_file);
    return true;
  }
  Log("ERROR!!! MyChange Body %s", out_job_dir.c_str());
  if (!kept_file.empty()) kept_in = kept_file;
  const std::string marker = JoinPath(out_job_dir, kNotAppliedMarker);
  // A later open of the note: when the first one went out with the notice, the original is
  // kept and the administrators know, and this one goes the same way. When the first one
  // was cleaned, the original is no longer kept: this one waits in the box for a next try.
  if (!primary) return FileExists(marker) && ReduceToNotice(note);
  if (kept_in.empty() || !ReduceToNotice(note)) {
    Always(
        "[%s] ERROR!!! The verdict could not be applied whole and the original mail could not "
        "be kept: it stays in the mail box to be tried again",
        job_id.c_str());
    return false;
  }
  Always(
      "[%s] ERROR!!! The verdict could not be applied whole: the mail goes out with a notice "
      "only, the original is kept in %s",
      job_id.c_str(), kept_in.c_str());
  foundation::UniqueHandle written(CreateFile(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                              nullptr));
  SendAdminWarningMail(AdminWarning::kNotApplied, &info, job_id, 0, mailbox_path, kept_in);
  return true;
}

}  // namespace

STATUS SetDefaultBody(NOTEHANDLE note) {
  if (note == NULLHANDLE) {
    Log("ERROR!!!  SetDefaultBody hNote is NULL");
    return 1;
  }
  STATUS status = NSFItemSetText(note, MAIL_BODY_ITEM, "", 0);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Log("ERROR!!!  %sUnable to Use NSFItemSetText", "");
  }
  return status;
}

STATUS NewChangeBody(NOTEHANDLE note, const std::string& out_job_dir, const MailInfo& info,
                     bool keep_body, bool delete_mode) {
  if (note == NULLHANDLE || out_job_dir.empty()) return 1;
  STATUS status = NOERROR;
  for (;;) {
    BLOCKID item{};
    if (!MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr))
      break;
    status = NSFNoteDetachFile(note, item);
    if (status != NOERROR) return status;
  }
  if (!keep_body) {
    if (!info.body_path.empty() && FileExists(info.body_path)) {
      status = NSFItemDelete(note, MAIL_BODY_ITEM, 4);
      if (status != NOERROR && ERR(status) != ERR_ITEM_NOT_FOUND) return status;
      status = MailAddMessageBodyText(note, MAIL_BODY_ITEM, info.body_path.c_str(), 0,
                                      kBodyDelimiters, 0, nullptr);
    } else {
      status = SetDefaultBody(note);
      if (status != NOERROR) Log("ERROR!!! NewChangeBody()...SetDefaultBody");
    }
    // The MIME parts went with the old body (and the attachments they named with the
    // detached files): the note no longer claims to hold MIME.
    for (const char* marker : {"$NoteHasNativeMIME", "MIME_Version"}) {
      STATUS dropped = NSFItemDelete(note, marker, static_cast<WORD>(std::strlen(marker)));
      if (dropped != NOERROR && ERR(dropped) != ERR_ITEM_NOT_FOUND) foundation::LogStatus(dropped);
    }
  }
  if (!delete_mode) {
    for (const AttachmentNode& node : info.attachments) {
      if (!FileExists(node.file_path)) continue;
      status = NSFNoteAttachFile(note, MAIL_FILE_ITEM, 5, node.file_path.c_str(),
                                 node.display_name.c_str(), COMPRESS_NONE);
      if (status != NOERROR) return status;
    }
  }
  return status;
}

STATUS AddDisclaimer(NOTEHANDLE note, const std::string& text_path, const std::string& job_id) {
  const char* id = job_id.c_str();
  DHANDLE body = NULLHANDLE;
  DWORD body_len = 0;
  STATUS status = MailCreateBodyItem(&body, &body_len);
  if (status != NOERROR) {
    Always("[%s] ERROR!!! in MailCreateBodyItem", id);
    return status;
  }
  struct BodyFree {
    DHANDLE handle;
    ~BodyFree() { (void)OSMemFree(handle); }
  } body_free{body};

  foundation::UniqueHandle file(CreateFile(text_path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    SystemErrorLine();
    Always("[%s] ERROR!!! Unable to Create File %s. Reason above in AddDisclaimer", id,
           text_path.c_str());
    return 1;
  }
  status = MailAppendBodyItemLine(body, &body_len, "", 0);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("[%s] ERROR!!! MailAppendBodyItemLine for adding CLRF. Reason above", id);
    return status;
  }
  auto append = [&](std::string line) {
    line = Trimmed(line);
    STATUS line_status = MailAppendBodyItemLine(body, &body_len, line.c_str(),
                                                static_cast<WORD>(line.size()));
    if (line_status != NOERROR) {
      Always("%s", line.c_str());
      foundation::LogStatus(line_status);
      Always("[%s] ERROR!!! Adding a string above in MailAppendBodyItemLine. Reason above", id);
    }
    return line_status;
  };
  std::string line;
  char buffer[4096];
  DWORD got = 0;
  bool pending = false;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      pending = true;
      if (buffer[i] == '\n' || line.size() == kDisclaimerLineChars) {
        if ((status = append(line)) != NOERROR) return status;
        line.clear();
        pending = buffer[i] != '\n';
        if (buffer[i] == '\n') continue;
      }
      line += buffer[i];
    }
  }
  if (pending && (status = append(line)) != NOERROR) return status;
  return MailAddBodyItem(note, body, body_len, nullptr);
}

STATUS ChangeReceipentField(NOTEHANDLE source, NOTEHANDLE target) {
  if (source == NULLHANDLE || target == NULLHANDLE) {
    Always("ERROR!!!! ChangeReceipentField Input Paratmer is NULL");
    return 1;
  }
  char length_text[kReplacePersonLengthChars + 1] = {};
  WORD length_len = NSFItemGetText(source, "ReplacePersonLength", length_text, sizeof length_text);
  if (length_len == 0) {
    foundation::ScratchLog(Format("\"ReplacePersonLength is absent\" Value = {%s} length = %d",
                                  length_text, length_len));
    return NOERROR;
  }
  long bytes = DecimalValue(length_text);
  if (bytes <= 0 || bytes > kMaxReplacePersonBytes) {
    foundation::ScratchLog(Format("\"ReplacePersonLength is absent\" Value = {%s} length = %d",
                                  length_text, length_len));
    return NOERROR;
  }
  std::vector<char> buffer(static_cast<std::size_t>(bytes) + 1, '\0');
  // The buffer is one byte longer than the mark claims, so the text is terminated even
  // when the padding of ReplacePerson is missing.
  if (NSFItemGetText(source, "ReplacePerson", buffer.data(), static_cast<WORD>(buffer.size())) ==
      0) {
    Always("\"ReplacePerson is absent\"");
    return NOERROR;
  }
  struct Reset {
    const char* item;
    const char* message;
  };
  static constexpr Reset kResets[] = {
      {MAIL_SENDTO_ITEM,
       "ERROR!!! Unable to Reset the SendTo Field in ChangeReceipentField...Reason above"},
      {MAIL_COPYTO_ITEM,
       "ERROR!!! Unable to Reset the CopyTo Field in ChangeReceipentField...Reason above"},
      {MAIL_BLINDCOPYTO_ITEM,
       "ERROR!!! Unable to Reset the BlindCopyTo Field in ChangeReceipentField...Reason above"},
  };
  for (const Reset& reset : kResets) {
    STATUS status = NSFItemSetText(target, reset.item, "", 0);
    if (status != NOERROR) {
      ScratchStatus(status);
      foundation::ScratchLog(reset.message);
      return status;
    }
  }
  // Written with the mark's full length: the joined addresses and their zero padding.
  STATUS status = NSFItemSetText(target, MAIL_SENDTO_ITEM, buffer.data(), static_cast<WORD>(bytes));
  if (status != NOERROR) {
    ScratchStatus(status);
    foundation::ScratchLog(
        "ERROR!!! Unable to Write ReplacePersonLength in ChangeReceipentField...Reason above");
  }
  return status;
}

int CheckHD0File(const std::string& out_job_dir, NOTEHANDLE note, MailInfo& info, bool primary,
                 const std::string& mailbox_path, bool& mail_changed, const std::string& job_id) {
  try {
    Trace("MailBoxName1 = %s", mailbox_path.c_str());
    Trace("%s CheckHD0Start Now Here...", out_job_dir.c_str());
    const std::string out_directory = State().out_directory;
    const AnswerFiles answer(out_job_dir);
    const bool engine_error = answer.Has("error.hdr") || answer.Has("error.hd0");
    const std::string result = answer.First("*.hd0");
    // Whatever set the job's event, a directory without the engine's answer is no verdict:
    // taken as clean, a full spool would turn every mail into a clean one.
    if (result.empty()) return engine_error ? 100 : kApplyNoAnswer;
    if (primary) Log("1-> HD0 File Found %s %s", out_job_dir.c_str(), result.c_str());
    if (engine_error) return 100;
    if (answer.Has("Scanover.txt") && !ChangeFilesPresent(out_job_dir, result, out_directory))
      return kApplyNoAnswer;

    std::string original_kept_in;  // where a copy of the original went, if one did
    if (primary) {
      Trace("%s; %s", out_job_dir.c_str(), "SendWarning Mail Start");
      (void)SendWarningMail(out_job_dir, mailbox_path);
      if (CheckTempFolder(out_directory, mailbox_path) != 0) Log("ERROR!!! in CheckTempFolder");
    }

    if (primary && answer.Has("Forward.txt")) {
      Log("1-> %s; %s", out_job_dir.c_str(), "Forward.txt Present");
      if (ReadFromFile(out_job_dir, result, out_directory, info) != 0) {
        Log("ERROR!!! TrackerNoteOpen()... Error in ReadFromFile");
        Log("ERROR!!! CheckHD0FILE()...Error in ReadMyFile");
        return 1;
      }
      Trace("CopyQuarantine Start Now = %s", out_job_dir.c_str());
      STATUS status = CopyQuarantine(note, out_job_dir, info, false);
      if (status != NOERROR) {
        Log("ERROR!!! in CopyQuarantine Function");
        Log("ERROR!!! Unable to Write in vtquaran.nsf");
        // The verdict is applied all the same, so the infected original is never delivered;
        // the original itself is kept where nothing is lost.
        if (!KeepMailAfterFailedCopy(note, &info, job_id, mailbox_path,
                                     QuarantineVirusName(out_job_dir)))
          return kApplyLeaveInBox;
        original_kept_in = "the Quarantine folder of the install directory";
      } else {
        original_kept_in = "the quarantine database";
      }
    }

    bool delete_mode = false;
    const std::string delete_file = answer.First("Delete.txt");
    if (!delete_file.empty()) {
      if (primary) Log("1-> %s;%s", out_job_dir.c_str(), "Delete.txt Present");
      delete_mode = true;
      if (ReadFromFile(out_job_dir, result, out_directory, info) != 0) {
        Log("ERROR!!! CheckHD0File()..Error in ReadMyFile");
        return 1;
      }
      if (primary) {
        DeleteFile(info.body_path.c_str());
        CopyFile(JoinPath(out_job_dir, delete_file).c_str(), info.body_path.c_str(), FALSE);
      }
    }

    if (answer.Has("Scanover.txt")) {
      mail_changed = true;
      if (primary) Log("1-> %s; %s", out_job_dir.c_str(), "Scanover.txt Present");
      MailInfo result_info;
      if (ReadFromFile(out_job_dir, result, out_directory, result_info) != 0) {
        Log("ERROR!!! CheckHD0File()...Error in ReadMyFile");
      } else {
        info = std::move(result_info);
      }
      // Only a body named by the result header is applied: the captured MailInfo names the
      // IN job's files, which are not the engine's answer.
      if (!info.body_path.empty() && info.body_path.rfind(out_directory, 0) == 0) {
        Trace("%s Body Start", out_job_dir.c_str());
        if (!ChangeBodyKeepingTheOriginal(note, out_job_dir, info, delete_mode, primary,
                                          original_kept_in, job_id, mailbox_path))
          return kApplyLeaveInBox;
        Trace("%s Body End", out_job_dir.c_str());
      }
    }

    const std::string disclaimer = answer.First("disclaim.txt");
    if (!disclaimer.empty()) {
      if (IsMailComeFromLotusNotesClient(note, job_id, true)) {
        mail_changed = true;
        std::string path = JoinPath(out_job_dir, disclaimer).substr(0, 256);
        if (AddDisclaimer(note, path, job_id) != NOERROR)
          Always("[%s] ERROR!!! Unable to Add Disclaimer", job_id.c_str());
      } else {
        Always("[%s] NOT adding Disclaimer because Client is NOT Lotus Notes", job_id.c_str());
      }
    }
    return 0;
  } catch (...) {
    Always("ERROR!!! CheckHD0File func (catch)");
    return 1;
  }
}

}  // namespace vtnotes
