// warnings.cpp - see warnings.h.
#include "vtnotes/warnings.h"

#include <atomic>
#include <cstring>

#include "foundation/address_list.h"
#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtnotes/apply.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/notes_handles.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {
namespace {

// Line ends of a body text file: CR, LF and the end-of-file byte of old editors.
constexpr const char* kBodyDelimiters = "\r\n\x1a";

STATUS SetText(NOTEHANDLE note, const char* name, const std::string& text) {
  return NSFItemSetText(note, name, text.c_str(),
                        static_cast<WORD>(std::min<std::size_t>(text.size(), MAXWORD - 1)));
}

std::string TrimmedEntry(std::string text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// The first line of a small text file, without its line end; empty when there is none.
std::string FirstLineOf(const std::string& path) {
  foundation::UniqueHandle file(CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char line[kVirusNameChars + 1] = {};
  if (!file.valid() || !foundation::ReadHandleLine(line, file.get())) return {};
  std::string text = line;
  foundation::TrimBoth(text);
  return text;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  foundation::UniqueHandle file(CreateFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// Reads a registry counter, changes it, writes it back.
void BumpCounter(const char* name, unsigned long increment) {
  unsigned long value =
      static_cast<unsigned long>(DecimalValue(ReadProductValue(name, nullptr, 260)));
  WriteProductValue(name, Format("%lu", value + increment));
}

}  // namespace

std::string OriginalMailId(NOTEHANDLE mail) {
  DBHANDLE db = NULLHANDLE;
  NOTEID note_id = 0;
  TIMEDATE created{};
  NSFNoteGetInfo(mail, _NOTE_DB, &db);
  NSFNoteGetInfo(mail, _NOTE_ID, &note_id);
  NSFNoteGetInfo(mail, _NOTE_OID, &created);
  char path[MAXPATH] = "";
  if (db == NULLHANDLE || NSFDbPathGet(db, path, nullptr) != NOERROR) path[0] = '\0';
  return Format("%s:%X:%08X%08X", path, static_cast<unsigned>(note_id),
                static_cast<unsigned>(created.Innards[1]), static_cast<unsigned>(created.Innards[0]));
}

std::string QuarantineVirusName(const std::string& job_directory) {
  return FirstLineOf(JoinPath(job_directory, "Forward.txt"));
}

STATUS ItemCopy(NOTEHANDLE source, NOTEHANDLE target, const char* item_name) {
  const WORD name_len = static_cast<WORD>(std::strlen(item_name));
  if (!NSFItemIsPresent(source, item_name, name_len)) return NOERROR;
  BLOCKID item{};
  STATUS status = NSFItemInfo(source, item_name, name_len, &item, nullptr, nullptr, nullptr);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! NSFItemInfo in ItemCopy. Reason above");
    return status;
  }
  status = NSFItemCopy(target, item);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Always("ERROR!!! NSFItemCopy in ItemCopy.  Reason above");
    return status;
  }
  for (;;) {
    BLOCKID next{};
    status = NSFItemInfoNext(source, item, item_name, name_len, &next, nullptr, nullptr, nullptr);
    if (ERR(status) == ERR_ITEM_NOT_FOUND) return NOERROR;
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Always("ERROR!!! NSFItemInfoNext in ItemCopy.  Reason above");
      return status;
    }
    status = NSFItemCopy(target, next);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Always("ERROR!!! NSFItemInfoNext->NSFItemCopy in ItemCopy.  Reason above");
      return status;
    }
    item = next;
  }
}

STATUS CopyQuarantine(NOTEHANDLE source, const std::string& directory, const MailInfo& info,
                      bool forward_mode) {
  if (source == NULLHANDLE || directory.empty()) {
    Log("CopyQuarantine hSrcNote is NULL");
    return 1;
  }
  STATUS status = NOERROR;
  const std::string original_id = OriginalMailId(source);
  // A copy that failed in one database is reported even when a later one took it.
  STATUS failed_status = NOERROR;
  bool database_named = false;  // a database was named at all
  for (const std::string& raw_entry : State().QuarantineDatabases()) {
    std::string entry = TrimmedEntry(raw_entry);
    if (entry.empty()) continue;
    database_named = true;
    Trace("Processing = %s\n", entry.c_str());
    DbOwner db;
    status = NSFDbOpen(entry.c_str(), db.out());
    if (status != NOERROR) {
      // The copy is reported as failed: the caller keeps the mail elsewhere rather than
      // lose it.
      foundation::LogStatus(status);
      Log("Unable to Open vtquaran.nsf");
      return status;
    }
    NoteOwner copy;
    status = NSFNoteCreate(db.get(), copy.out());
    if (status != NOERROR) {
      Log("ERROR!!! CopyQuarantine()...Unable to Create a Note");
      failed_status = status;
      continue;
    }
    struct Field {
      const char* item;
      const char* message;
    };
    static constexpr Field kFields[] = {
        {"SendTo", "ERROR!!! ItemCopy in SendTo Field in CopyQuarantine"},
        {"CopyTo", "ERROR!!! ItemCopy in CopyTo Field in CopyQuarantine"},
        {"BlindCopyTo", "ERROR!!! ItemCopy in BCC Field in CopyQuarantine"},
        {"Recipients", "ERROR!!! ItemCopy in Receipents Field in CopyQuarantine"},
        {"Subject", "ERROR!!! ItemCopy in Subject Field in CopyQuarantine"},
        {"Body", "ERROR!!! ItemCopy in Body Field in CopyQuarantine"},
        // Who sent the mail and when, so that an administrator can tell a quarantined
        // mail from another.
        {"From", "ERROR!!! ItemCopy in From Field in CopyQuarantine"},
        {"PostedDate", "ERROR!!! ItemCopy in PostedDate Field in CopyQuarantine"},
    };
    bool store = true;
    for (const Field& field : kFields) {
      status = ItemCopy(source, copy.get(), field.item);
      if (status != NOERROR) {
        Always("%s", field.message);
        store = false;
        break;
      }
    }
    if (store && forward_mode) {
      if (ChangeReceipentField(source, copy.get()) != NOERROR)
        Always("ERROR!!! Function ChangeReceipentField Fails");
      for (const AttachmentNode& node : info.attachments) {
        if (!FileExists(node.file_path)) continue;
        status = NSFNoteAttachFile(copy.get(), MAIL_FILE_ITEM, 5, node.file_path.c_str(),
                                   node.display_name.c_str(), COMPRESS_NONE);
        if (status != NOERROR) {
          foundation::LogStatus(status);
          Always("ERROR!!! Unable to Attach the file in CopyQuarantine...Reason above");
          store = false;
          break;
        }
      }
    } else if (store) {
      status = ItemCopy(source, copy.get(), MAIL_FILE_ITEM);
      if (status != NOERROR) {
        Always("ERROR!!! ItemCopy in Attachment Field in CopyQuarantine");
        store = false;
      }
    }
    if (!store) {
      failed_status = status != NOERROR ? status : 1;
      continue;
    }
    if (SetText(copy.get(), "X-Vantrel", State().vantrel_id) != NOERROR)
      Log("ERROR!!! Unable to Add X-Vantrel Entry in Quarantine Database");
    // Without its identity a copy could not be told from a warning mail, nor released once:
    // it is not stored, and the original is kept instead.
    status = SetText(copy.get(), kOriginalMailItem, original_id);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Always("ERROR!!! Unable to Add %s Entry in Quarantine Database", kOriginalMailItem);
      failed_status = status;
      continue;
    }
    if (!forward_mode) {
      // The engine names what it found in its quarantine order; kept with the copy, it tells
      // an administrator why the mail is there. A copy without it is still a copy.
      const std::string virus = QuarantineVirusName(directory);
      if (!virus.empty() && SetText(copy.get(), kVirusNameItem, virus) != NOERROR)
        Log("ERROR!!! Unable to Add %s Entry in Quarantine Database", kVirusNameItem);
    }
    status = NSFNoteUpdate(copy.get(), 0);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("ERROR!!! Quarantine()...Unable to Update");
      failed_status = status;
    }
  }
  if (!database_named && failed_status == NOERROR) {
    // Asked for a copy with no quarantine database named: the copy has failed as surely as
    // one into a database that cannot be written, and is kept elsewhere the same way.
    Always("ERROR!!! No quarantine database is named (VTADMINDB): the copy was not made");
    return 1;
  }
  return failed_status != NOERROR ? failed_status : status;
}

STATUS NSFSendMailReport(const std::string& directory, const MailInfo& info,
                         const std::string& recipient, const std::string& mailbox_path) {
  const char* kName = recipient.c_str();
  Trace("NSFSendMailReport %s Start", kName);
  try {
    std::string file = mailbox_path;
    Trace("MailBoxName1 = %s", file.c_str());
    char server[MAXUSERNAME + 1] = {};
    if (!OSGetEnvironmentString("MAILSERVER", server, sizeof server) || server[0] == '\0') {
      server[0] = '\0';
      Log("\nUnable to get mail server name ...\n\n Adding message local 'mail.box' file "
          "...\n\n");
      if (OSGetEnvironmentLong("MAIL_ENABLE_MAILBOX_COMPATIBILITY") == 0) {
        Log("\nEnable mailbox parameter is not set ...\n\n Adding message to local 'mail2.box' "
            "file ...\n\n");
        file = "mail2.box";
      }
    }
    Trace("NSFSendMailReport %s Step1", kName);
    DbOwner db;
    STATUS status = NOERROR;
    for (;;) {
      char path[MAXPATH] = {};
      status = OSPathNetConstruct(nullptr, server, file.c_str(), path);
      if (status == NOERROR) {
        Trace("Server name =%s()...FileName=%s; MailBoxPath=%s", server, file.c_str(), path);
        status = NSFDbOpen(path, db.out());
      }
      if (ERR(status) == ERR_NOEXIST && file == "mail2.box") {
        file = "mail.box";
        continue;
      }
      break;
    }
    if (status != NOERROR) {
      Log("Error: NSFSendMailReport not able to send warning message to %s bcz nRouter might be "
          "shutdown",
          kName);
      return status;
    }
    Trace("NSFSendMailReport %s Step4", kName);
    NoteOwner note;
    status = NSFNoteCreate(db.get(), note.out());
    if (status != NOERROR) {
      Log("ERROR!!! NSFNoteCreate->sError:%X", status);
      return status;
    }
    status = SetText(note.get(), MAIL_FORM_ITEM, "Memo");
    if (status != NOERROR) {
      Log("ERROR!!! NSFItemSetText->sError:%X", status);
      return status;
    }
    if (recipient.empty()) {
      Log("ERROR!!! NSFSendMailReport To Address is Empty");
      return 1;
    }
    Trace("NSFSendMailReport %s Step5", kName);
    struct TextField {
      const char* item;
      const std::string* value;
      const char* message;
      const char* step_after;  // the trace step reached once this field is set
    };
    const std::string memo_priority = "Normal";
    const std::string report = "Basic";
    const std::string receipt = "No";
    const TextField fields[] = {
        {MAIL_SENDTO_ITEM, &recipient, "ERROR!!! Error setting MAIL_SENDTO_ITEM.", nullptr},
        {MAIL_RECIPIENTS_ITEM, &recipient, "ERROR!!! Error setting MAIL_RECIPIENTS_ITEM.",
         "Step5.1"},
        {MAIL_FROM_ITEM, &info.from, "ERROR!!! Error setting MAIL_FROM_ITEM.", nullptr},
        {MAIL_SUBJECT_ITEM, &info.subject, "ERROR!!! Error setting MAIL_SUBJECT_ITEM.", "Step5.2"},
        {MAIL_DELIVERYPRIORITY_ITEM, &memo_priority,
         "ERROR!!! Error setting MAIL_DELIVERYPRIORITY_ITEM.", nullptr},
        {MAIL_DELIVERYREPORT_ITEM, &report, "ERROR!!! Error setting MAIL_DELIVERYREPORT_ITEM.",
         nullptr},
        {MAIL_RETURNRECEIPT_ITEM, &receipt, "ERROR!!! Error setting MAIL_RETURNRECEIPT_ITEM.",
         "Step5.3"},
    };
    for (const TextField& field : fields) {
      // The router reads recipients as a list, as mail clients write them.
      status = std::strcmp(field.item, MAIL_RECIPIENTS_ITEM) == 0
                   ? NSFItemCreateTextList(note.get(), field.item, field.value->c_str(),
                                           static_cast<WORD>(field.value->size()))
                   : SetText(note.get(), field.item, *field.value);
      if (status != NOERROR) {
        Log("%s", field.message);
        return status;
      }
      if (field.step_after) Trace("NSFSendMailReport %s %s", kName, field.step_after);
    }
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    status = NSFItemSetTime(note.get(), MAIL_COMPOSEDDATE_ITEM, &now);
    if (status != NOERROR) {
      Log("ERROR!!! Error setting MAIL_COMPOSEDDATE_ITEM.");
      return status;
    }
    status = NSFItemSetTime(note.get(), MAIL_POSTEDDATE_ITEM, &now);
    if (status != NOERROR) {
      Log("ERROR!!! Error setting MAIL_POSTEDDATE_ITEM.");
      return status;
    }
    Trace("NSFSendMailReport %s Step6", kName);
    if (!info.body_path.empty()) {
      status = MailAddMessageBodyText(note.get(), MAIL_BODY_ITEM, info.body_path.c_str(), 0,
                                      kBodyDelimiters, 0, nullptr);
      if (status != NOERROR) {
        Log("ERROR!!! NSFReportMail()...Error in MailAddMessageBoxyTextExt....");
        Log("%s", info.body_path.c_str());
        foundation::LogStatus(status);
        return status;
      }
    }
    Trace("NSFSendMailReport %s Step7", kName);
    status = SetText(note.get(), "X-Vantrel", State().vantrel_id);
    if (status != NOERROR) {
      Log("ERROR!!! NSFReportMail()...Error in NSFItemSetText X-Vantrel....");
      AddInLogMessageText("ERROR!!! NSFReportMail()...Error in NSFItemSetText X-Vantrel....", 0);
      return status;
    }
    Trace("NSFSendMailReport %s Step8", kName);
    for (const AttachmentNode& node : info.attachments) {
      if (!FileExists(node.file_path)) continue;
      status = NSFNoteAttachFile(note.get(), MAIL_FILE_ITEM, 5, node.file_path.c_str(),
                                 node.display_name.c_str(), COMPRESS_NONE);
      if (status != NOERROR) {
        foundation::LogStatus(status);
        Log("ERROR!!! Error in NSFNoteAttachFile...Reason above");
        return status;
      }
    }
    Trace("NSFSendMailReport %s Step9", kName);
    status = NSFNoteUpdate(note.get(), 0);
    if (status != NOERROR) {
      Log("ERROR!!! NSFNoteUpdate->sError:%X...Reason above", status);
      return status;
    }
    Trace("NSFSendMailReport %s Step10", kName);
    STATUS close_status = note.Close();
    if (close_status != NOERROR) Log("ERROR!!! NSFNoteClose->sError:%X", close_status);
    Trace("NSFSendMailReport %s Step11", kName);
    close_status = db.Close();
    if (close_status != NOERROR) Log("ERROR!!! NSFDbClose->sError:%X\n", close_status);
    Trace("NSFSendMailReport %s Step12", kName);
    Trace("NSFSendMailReport %s END", kName);
    return NOERROR;
  } catch (...) {
    Always("ERROR!!! in NSFSendMailReport (catch)");
    return 1;
  }
}

STATUS SendWarningMail(const std::string& directory, const std::string& mailbox_path) {
  try {
    STATUS status = NOERROR;
    const std::string out_directory = State().out_directory;
    for (const std::string& name : FindAllMatches(directory, "*.hdx")) {
      MailInfo job;
      if (ReadFromFile(directory, name, out_directory, job) != 0) {
        Log("ERROR!!! Error in ReadFromFile");
        continue;
      }
      for (const std::string& recipient : foundation::SplitAddressList(job.recipients)) {
        Log("1-> Sending Warning Mail To = %s", recipient.c_str());
        status = NSFSendMailReport(directory, job, recipient, mailbox_path);
        if (status != NOERROR) {
          Log("ERROR!!! Error in NSFSendMailReport");
          Log("FreeAllMemory Success");
          break;
        }
      }
    }
    return status;
  } catch (...) {
    Always("ERROR!!! SendWarningMail Func...(catch)");
    return 1;
  }
}

int CheckTempFolder(const std::string& out_directory, const std::string& mailbox_path) {
  if (out_directory.empty() || mailbox_path.empty()) return -1;
  const std::string temp = JoinPath(out_directory, "Temp");
  if (!DirectoryExists(temp)) return 0;
  if (SendWarningMail(temp, mailbox_path) != NOERROR) {
    Log("ERROR!!! %s Function inside CheckTempFolder", "SendWarningMail");
    return 1;
  }
  DeleteTree(temp, true);
  return 0;
}

namespace {

struct WarningKind {
  const char* folder;
  const char* subject;
};

WarningKind KindOf(AdminWarning kind) {
  switch (kind) {
    case AdminWarning::kDisabled:
      return {"VTDisable", "Warning Mail: Vantrel Disabled"};
    case AdminWarning::kBypassed:
      return {"TimeOut", "Warning Mail: Vantrel Bypassed"};
    case AdminWarning::kHeld:
      return {"Held", "Warning Mail: Vantrel Holding Mail"};
    case AdminWarning::kOriginalKept:
      return {"Quarantine", "Warning Mail: Vantrel Quarantine Failed"};
    case AdminWarning::kNotApplied:
      return {"NotApplied", "Warning Mail: Vantrel Could Not Clean a Mail"};
  }
  return {"TimeOut", "Warning Mail: Vantrel Bypassed"};
}

std::string LocalTimeText() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return Format("%02d/%02d/%04d %02d:%02d", now.wDay, now.wMonth, now.wYear, now.wHour,
                now.wMinute);
}

// "The following mail having Note ID ..." with its sender and recipients.
std::string MailLines(const MailInfo* info, const std::string& job_id) {
  std::string text = "The following mail having Note ID " + job_id + "\r\n";
  text += "From: " + (info ? info->from : std::string()) + "\r\n";
  if (info && !info->recipients.empty()) text += "To: " + info->recipients + "\r\n";
  return text;
}

std::string WarningBody(AdminWarning kind, const MailInfo* info, const std::string& job_id,
                        std::uint64_t mail_size, const std::string& reason) {
  std::string body;
  switch (kind) {
    case AdminWarning::kDisabled:
      body = "The online scanning service provided by Vantrel was disabled at " + LocalTimeText() +
             ".\r\n\r\nAll email will be received or sent without virus scanning.";
      break;
    case AdminWarning::kBypassed:
      body = MailLines(info, job_id);
      body += Format(
          "having mail size %llu bytes could not be scanned by Vantrel.\r\n\r\nThis could have "
          "happened because the attachment was too large to be scanned in the default timeout "
          "period or the server was under heavy load. Please increase the timeout period by "
          "doing the following:\r\n\r\n",
          static_cast<unsigned long long>(mail_size));
      body += Format(
          "Open Vantrel Scheduled Scanning Database(vtsched.nsf).\r\n Goto \"RealTime "
          "Scanning\" option and Increase the timeout value in TimeOut field.\r\n\r\nYour "
          "Current Timeout Value is : %ld (in milli-seconds)\r\n\r\n",
          State().base_timeout_ms.load());
      body += std::string(
                  "If you still get similar message, please send Vantrel Debugger file "
                  "to ") +
              kSupportAddress + ".\r\nThank you and apologies for any inconvenience.";
      break;
    case AdminWarning::kHeld:
      body = "Since " + LocalTimeText() +
             " Vantrel holds the mails it cannot scan in the router's mail box "
             "(HoldMailWhenNotScanned is set). The router tries them again and delivers each "
             "one as soon as it has been scanned.";
      break;
    case AdminWarning::kOriginalKept:
      body = MailLines(info, job_id);
      body += "could not be copied into the quarantine database. Vantrel applied its verdict "
              "to the mail and kept the original mail, as it arrived, in the file\r\n\r\n    " +
              reason +
              "\r\n\r\nImport it into the quarantine database once that can be written again.";
      return body;
    case AdminWarning::kNotApplied:
      body = MailLines(info, job_id);
      body += "could not be changed as Vantrel's verdict asked: its cleaned text or attachments "
              "could not be written into it. So that no part of it that was not scanned clean "
              "goes out, it was delivered with a notice in place of its text and attachments. "
              "The original mail, as it arrived, is kept in\r\n\r\n    " +
              reason +
              "\r\n\r\nSend its clean parts to the recipients from there.";
      return body;
  }
  if (!reason.empty()) body += "\r\n\r\nReason: " + reason;
  return body;
}

// Creates a directory of its own for one warning below OUT\<folder>; empty on failure
// (logged).
std::string MakeWarningDirectory(const std::string& folder_path, const std::string& job_id) {
  static std::atomic<unsigned long> sequence{0};
  if (!DirectoryExists(folder_path) && !CreateSpoolDirectory(folder_path) &&
      !DirectoryExists(folder_path)) {
    SystemErrorLine();
    Always("ERROR!!!unable to Create Directory %s... Reason above", folder_path.c_str());
    return {};
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = Format("%s-%lu-%lu", job_id.empty() ? "0" : job_id.c_str(),
                                    static_cast<unsigned long>(GetTickCount()), ++sequence);
    const std::string directory = JoinPath(folder_path, name);
    bool existed = false;
    if (CreateSpoolDirectory(directory, &existed)) return directory;
    if (!existed) {
      SystemErrorLine();
      Always("ERROR!!!unable to Create Directory %s... Reason above", directory.c_str());
      return {};
    }
  }
  Always("ERROR!!! CreateFileForWarningToAdmin");
  return {};
}

}  // namespace

bool AdminWarningDue(AdminWarning kind) {
  ExtensionState& state = State();
  const DWORD period_ms = static_cast<DWORD>(std::max<long>(1000, state.base_timeout_ms.load()));
  const DWORD now = GetTickCount();
  std::lock_guard<std::mutex> lock(state.warning_clock_mutex);
  auto [entry, first] = state.warning_last_sent.try_emplace(static_cast<int>(kind), now);
  if (first) return true;
  if (now - entry->second < period_ms) return false;
  entry->second = now;
  return true;
}

void SendAdminWarningMail(AdminWarning kind, const MailInfo* info, const std::string& job_id,
                          std::uint64_t mail_size, const std::string& mailbox_path,
                          const std::string& reason) {
  try {
    ExtensionState& state = State();
    if (state.out_directory.empty() || mailbox_path.empty()) {
      Always("ERROR!!! %s Input Parameter NULL", "SendAdminWarningMail");
      return;
    }
    const WarningKind what = KindOf(kind);
    const std::string directory =
        MakeWarningDirectory(JoinPath(state.out_directory, what.folder), job_id);
    if (directory.empty()) {
      Always("ERROR!!! CreateFileForWarningToAdmin");
      return;
    }
    std::string admins;
    for (const std::string& admin : state.AdminAddresses()) {
      if (!admins.empty()) admins += ',';
      admins += admin;
    }
    std::string from = ReadIniValue(ProductIniPath(), "General", "WarningMailsFromUser", "", 1998);
    std::string header = Format("Subject: %s\r\n", what.subject);
    header += "From: " + from + "\r\n";
    header += "To: " + admins + "\r\n";
    // Relative to OUT, as every warning job names its body.
    header += "Body: " + std::string(what.folder) + "\\" +
              directory.substr(directory.find_last_of("/\\") + 1) + "\\0.bdy\r\n";
    const std::string body = WarningBody(kind, info, job_id, mail_size, reason);
    for (const auto& [name, bytes] :
         {std::pair<const char*, const std::string&>{"0.bdy", body},
          std::pair<const char*, const std::string&>{"0.hdx", header}}) {
      if (!WriteWholeFile(JoinPath(directory, name), bytes)) {
        SystemErrorLine();
        Always(
            "ERROR!!! Unable to create %s BDX File reason above in function "
            "CreateFileForWarningToAdmin",
            name);
        DeleteTree(directory, true);
        return;
      }
    }
    Always("%s: %s", what.subject, directory.c_str());
    if (SendWarningMail(directory, mailbox_path) == NOERROR) {
      DeleteTree(directory, true);
    } else {
      Log("ERROR!!! %s Function inside SendAdminWarningMail", "SendWarningMail");
    }
  } catch (...) {
    Always("ERROR!!! in SendAdminWarningMail");
  }
}

const char* SizeClass(std::uint64_t mail_size) {
  std::uint64_t mib = mail_size / 1048576;
  if (mib <= 1) return "Small";
  if (mib <= 5) return "Medium";
  if (mib <= 10) return "Large";
  return "VeryLarge";
}

void CountTimeout(std::uint64_t mail_size, long current_timeout_ms) {
  foundation::MutexHold hold(State().statistics_mutex.get());
  BumpCounter("TotalTimeout", 1);
  BumpCounter(SizeClass(mail_size), 1);
  unsigned long seconds = static_cast<unsigned long>(current_timeout_ms / 1000);
  unsigned long stored =
      static_cast<unsigned long>(DecimalValue(ReadProductValue("MaxTimeoutReached", nullptr, 260)));
  if (seconds > stored) WriteProductValue("MaxTimeoutReached", Format("%lu", seconds));
}

void CountSkippedMail() {
  foundation::MutexHold hold(State().skipped_mutex.get());
  unsigned long value =
      static_cast<unsigned long>(DecimalValue(ReadProductValue("TotalSkippedMail", nullptr, 260)));
  WriteProductValue("TotalSkippedMail", Format("%lu", value + 1));
  Always("Total Mail Errors %lu (including timeout)", value + 1);
}

void ResetStatistics() {
  for (const char* name : {"TotalTimeout", "MaxTimeoutReached", "Small", "Medium", "Large",
                           "VeryLarge", "TotalSkippedMail"})
    WriteProductValue(name, "0");
}

}  // namespace vtnotes
