// warnings.cpp - see warnings.h.
#include "vtnotes/warnings.h"

#include <cstring>

#include "foundation/address_list.h"
#include "foundation/log.h"
#include "foundation/named_objects.h"
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
  return NSFItemSetText(note, name, text.c_str(), static_cast<WORD>(std::min<std::size_t>(
                                                      text.size(), MAXWORD - 1)));
}

std::string TrimmedEntry(std::string text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  foundation::UniqueHandle file(CreateFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

// Reads a registry counter, changes it, writes it back.
void BumpCounter(const char* name, unsigned long increment) {
  unsigned long value = static_cast<unsigned long>(DecimalValue(ReadProductValue(name, nullptr, 260)));
  WriteProductValue(name, Format("%lu", value + increment));
}

}  // namespace

STATUS ItemCopy(NOTEHANDLE source, NOTEHANDLE target, const char* item_name) {
  const WORD name_len = static_cast<WORD>(std::strlen(item_name));
  if (!NSFItemIsPresent(source, item_name, name_len)) return NOERROR;
  BLOCKID item{};
  STATUS status = NSFItemInfo(source, item_name, name_len, &item, nullptr, nullptr, nullptr);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Log("ERROR!!! NSFItemInfo in ItemCopy. Reason above");
    return status;
  }
  status = NSFItemCopy(target, item);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Log("ERROR!!! NSFItemCopy in ItemCopy.  Reason above");
    return status;
  }
  for (;;) {
    BLOCKID next{};
    status = NSFItemInfoNext(source, item, item_name, name_len, &next, nullptr, nullptr, nullptr);
    if (ERR(status) == ERR_ITEM_NOT_FOUND) return NOERROR;
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("ERROR!!! NSFItemInfoNext in ItemCopy.  Reason above");
      return status;
    }
    status = NSFItemCopy(target, next);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("ERROR!!! NSFItemInfoNext->NSFItemCopy in ItemCopy.  Reason above");
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
  for (const std::string& raw_entry : State().QuarantineDatabases()) {
    std::string entry = TrimmedEntry(raw_entry);
    if (entry.empty()) continue;
    Trace("Processing = %s\n", entry.c_str());
    DbOwner db;
    status = NSFDbOpen(entry.c_str(), db.out());
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("Unable to Open vtquaran.nsf");
      return NOERROR;
    }
    NoteOwner copy;
    status = NSFNoteCreate(db.get(), copy.out());
    if (status != NOERROR) {
      Log("ERROR!!! CopyQuarantine()...Unable to Create a Note");
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
    };
    bool store = true;
    for (const Field& field : kFields) {
      status = ItemCopy(source, copy.get(), field.item);
      if (status != NOERROR) {
        Log("%s", field.message);
        store = false;
        break;
      }
    }
    if (store && forward_mode) {
      if (ChangeReceipentField(source, copy.get()) != NOERROR)
        Log("ERROR!!! Function ChangeReceipentField Fails");
      for (const AttachmentNode& node : info.attachments) {
        if (!FileExists(node.file_path)) continue;
        status = NSFNoteAttachFile(copy.get(), MAIL_FILE_ITEM, 5, node.file_path.c_str(),
                                   node.display_name.c_str(), COMPRESS_NONE);
        if (status != NOERROR) {
          foundation::LogStatus(status);
          Log("ERROR!!! Unable to Attach the file in CopyQuarantine...Reason above");
          store = false;
          break;
        }
      }
    } else if (store) {
      status = ItemCopy(source, copy.get(), MAIL_FILE_ITEM);
      if (status != NOERROR) {
        Log("ERROR!!! ItemCopy in Attachment Field in CopyQuarantine");
        store = false;
      }
    }
    if (!store) continue;
    if (SetText(copy.get(), "X-Vantrel", State().vantrel_id) != NOERROR)
      Log("ERROR!!! Unable to Add X-Vantrel Entry in Quarantine Database");
    status = NSFNoteUpdate(copy.get(), 0);
    if (status != NOERROR) {
      foundation::LogStatus(status);
      Log("ERROR!!! Quarantine()...Unable to Update");
    }
  }
  return status;
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
    };
    const std::string memo_priority = "Normal";
    const std::string report = "Basic";
    const std::string receipt = "No";
    const TextField fields[] = {
        {MAIL_SENDTO_ITEM, &recipient, "ERROR!!! Error setting MAIL_SENDTO_ITEM."},
        {MAIL_RECIPIENTS_ITEM, &recipient, "ERROR!!! Error setting MAIL_RECIPIENTS_ITEM."},
        {MAIL_FROM_ITEM, &info.from, "ERROR!!! Error setting MAIL_FROM_ITEM."},
        {MAIL_SUBJECT_ITEM, &info.subject, "ERROR!!! Error setting MAIL_SUBJECT_ITEM."},
        {MAIL_DELIVERYPRIORITY_ITEM, &memo_priority,
         "ERROR!!! Error setting MAIL_DELIVERYPRIORITY_ITEM."},
        {MAIL_DELIVERYREPORT_ITEM, &report, "ERROR!!! Error setting MAIL_DELIVERYREPORT_ITEM."},
        {MAIL_RETURNRECEIPT_ITEM, &receipt, "ERROR!!! Error setting MAIL_RETURNRECEIPT_ITEM."},
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
    }
    Trace("NSFSendMailReport %s Step5.1", kName);
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
    close_status = db.Close();
    if (close_status != NOERROR) Log("ERROR!!! NSFDbClose->sError:%X\n", close_status);
    Trace("NSFSendMailReport %s END", kName);
    return NOERROR;
  } catch (...) {
    Log("ERROR!!! in NSFSendMailReport (catch)");
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
    Log("ERROR!!! SendWarningMail Func...(catch)");
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

void SendAdminWarningMail(AdminWarning kind, const MailInfo* info, const std::string& job_id,
                          std::uint64_t mail_size, const std::string& mailbox_path) {
  try {
    ExtensionState& state = State();
    if (state.out_directory.empty() || mailbox_path.empty()) {
      Log("ERROR!!! %s Input Parameter NULL", "SendAdminWarningMail");
      return;
    }
    const bool disabled = kind == AdminWarning::kDisabled;
    const char* folder = disabled ? "VTDisable" : "TimeOut";
    const std::string directory = JoinPath(state.out_directory, folder);
    bool existed = false;
    if (!CreateSpoolDirectory(directory, &existed)) {
      if (existed) {
        // A warning of this kind is still pending; it is not written twice.
        Log("ERROR!!! CreateFileForWarningToAdmin");
        return;
      }
      SystemErrorLine();
      Log("ERROR!!!unable to Create Directory %s... Reason above", directory.c_str());
      return;
    }
    std::string body;
    if (disabled) {
      SYSTEMTIME now{};
      GetLocalTime(&now);
      body = Format(
          "The online scanning service provided by Vantrel was disabled at %02d/%02d/%04d "
          "%02d:%02d.\r\n\r\nAll email will be received or sent without virus scanning.",
          now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute);
    } else {
      body = "The following mail having Note ID " + job_id + "\r\n";
      body += "From: " + (info ? info->from : std::string()) + "\r\n";
      if (info && !info->recipients.empty()) body += "To: " + info->recipients + "\r\n";
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
          state.base_timeout_ms.load());
      body += std::string("If you still get similar message, please send Vantrel Debugger file "
                          "to ") +
              kSupportAddress + ".\r\nThank you and apologies for any inconvenience.";
    }
    std::string admins;
    for (const std::string& admin : state.AdminAddresses()) {
      if (!admins.empty()) admins += ',';
      admins += admin;
    }
    std::string from =
        ReadIniValue(ProductIniPath(), "General", "WarningMailsFromUser", "", 1998);
    std::string header = Format("Subject: %s\r\n", disabled ? "Warning Mail: Vantrel Disabled"
                                                            : "Warning Mail: Vantrel Bypassed");
    header += "From: " + from + "\r\n";
    header += "To: " + admins + "\r\n";
    header += Format("Body: %s\\0.bdy\r\n", folder);
    for (const auto& [name, bytes] : {std::pair<const char*, const std::string&>{"0.bdy", body},
                                      std::pair<const char*, const std::string&>{"0.hdx", header}}) {
      if (!WriteWholeFile(JoinPath(directory, name), bytes)) {
        SystemErrorLine();
        Log("ERROR!!! Unable to create %s BDX File reason above in function "
            "CreateFileForWarningToAdmin",
            name);
        return;
      }
    }
    if (SendWarningMail(directory, mailbox_path) == NOERROR) {
      DeleteTree(directory, true);
    } else {
      Log("ERROR!!! %s Function inside SendAdminWarningMail", "SendWarningMail");
    }
  } catch (...) {
    Log("ERROR!!! in SendAdminWarningMail");
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
  Log("Total Mail Errors %lu (including timeout)", value + 1);
}

void ResetStatistics() {
  for (const char* name : {"TotalTimeout", "MaxTimeoutReached", "Small", "Medium", "Large",
                           "VeryLarge", "TotalSkippedMail"})
    WriteProductValue(name, "0");
}

}  // namespace vtnotes
