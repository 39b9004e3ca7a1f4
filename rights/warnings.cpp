// warnings.cpp - the warning mails of a met limit and the rewriting of a mail's recipients.
//
// What it is for: writes the warnings to the sender, the administrators and each refused
// recipient straight into the mail box that holds the checked mail, and leaves only the
// kept recipients on the checked mail.
// Ownership: each warning's scratch files (a unique temporary name and the body file beside
// it) are made and deleted by GenerateWarningMessage; the mail box handle and the new note
// are closed by ComposeWarningMessage on every path.
// Locks: none; unique scratch names keep simultaneous mails apart.
#include <filesystem>
#include <memory>
#include <utility>

#include "foundation/address_list.h"
#include "foundation/error_text.h"
#include "foundation/notes_handles.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "rights/rights.h"

namespace rights {
namespace {

constexpr const char* kSubjectSender = "Size Restriction Warning from Vantrel to Mail-Sender!";
constexpr const char* kSubjectAdmin =
    "Size Restriction Warning from Vantrel to Mail-Administrator!";
constexpr const char* kSubjectRecipient =
    "Size Restriction Warning from Vantrel to Mail-Recipient!";
constexpr const char* kSeparator =
    "\r\n=============================================================\r\n";

using foundation::StringPrintf;

// "\t<address>\r\n" for each address of the three lists, in order.
std::string RecipientLines(const WarningInfo& info) {
  std::string lines;
  for (const std::string* list : {&info.send_to, &info.copy_to, &info.blind_copy_to}) {
    for (const std::string& address : foundation::SplitAddressList(*list)) {
      lines += "\t" + address + "\r\n";
    }
  }
  return lines;
}

// The directory the scratch files go to (see WarningDirectory below).
std::string WarningDirectory() {
  char directory[MAX_PATH] = {};
  OSVERSIONINFO version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  bool found = false;
  if (GetVersionEx(&version) && version.dwMajorVersion > 4) {
    const UINT length = GetSystemWindowsDirectory(directory, sizeof(directory));
    found = length > 0 && length < sizeof(directory);
  }
  std::string path;
  if (found) {
    path = directory;
  } else {
    const UINT length = GetSystemDirectory(directory, sizeof(directory));
    if (length > 0 && length < sizeof(directory)) {
      path = directory;
      foundation::RemoveBackslash(path);
      const std::size_t last = path.find_last_of("/\\");
      if (last != std::string::npos) path.erase(last);
    }
  }
  foundation::RemoveBackslash(path);
  if (!path.empty()) {
    const std::string temp = foundation::JoinPath(path, "TEMP");
    if (!foundation::IsDirectory(temp)) CreateDirectory(temp.c_str(), nullptr);
  }
  return path;
}

// Writes one warning: scratch files, body, mail, scratch files gone. Returns its status.
STATUS WriteOneWarning(const WarningInfo& info, int kind, const RejectedRecipient* node,
                       const std::string& addressees, const char* subject, bool& body_failed) {
  body_failed = false;
  const std::string directory = WarningDirectory();
  char temp_name[MAX_PATH] = {};
  if (GetTempFileName(directory.c_str(), "vt", 0, temp_name) == 0) {
    Log(foundation::ErrorText());
    Logf("ERROR!!! CreateBodyFile Fails.....Body FileName {%s} and TmpFileName {%s}", "",
         temp_name);
    body_failed = true;
    return 1;
  }
  std::string body_name = temp_name;
  body_name.back() = 'S';
  STATUS status = NOERROR;
  if (!CreateBodyFile(body_name, info, kind, node)) {
    Logf("ERROR!!! CreateBodyFile Fails.....Body FileName {%s} and TmpFileName {%s}",
         body_name.c_str(), temp_name);
    body_failed = true;
    status = 1;
  } else {
    const std::string from = CurrentSettings().admins.empty()
                                 ? std::string()
                                 : CurrentSettings().admins.front().substr(0, kPathBytes - 1);
    status = ComposeWarningMessage(info.mailbox_path, addressees, from, subject, body_name,
                                   false);
    if (status != NOERROR) Log("ERROR!!! ComposeWarningMessage Fails.....");
  }
  DeleteFile(body_name.c_str());
  DeleteFile(temp_name);
  return status;
}

}  // namespace

std::string AdminAddressees() {
  std::string joined;
  for (const std::string& admin : CurrentSettings().admins) {
    if (admin.empty()) break;
    if (!joined.empty()) joined += ',';
    joined += admin;
  }
  if (joined.size() > kAdminAddresseeChars) joined.resize(kAdminAddresseeChars);
  return joined;
}

std::string BodyText(const WarningInfo& info, int kind, const RejectedRecipient* node) {
  std::string text;
  const char* subject = info.subject.c_str();
  switch (kind) {
    case kWarnSendSender:
      text += "The following email you sent was not delivered to the \r\nintended recipients "
              "as it had size restriction in it!\r\n";
      text +=
          StringPrintf("you can't send mail more than %d KB. Your mail size is %d KB(appr.)\r\n",
                       info.send_limit, info.mail_size);
      text += StringPrintf("\r\nAction taken: The email was %s\r\n",
                           info.send_action == kActionForward
                               ? "Forwarded to Adminstrator and Mail has been Deleted"
                               : "Deleted");
      text += kSeparator;
      text += StringPrintf("The Mail came from    : %s\r\n", info.sender.c_str());
      text += "The Mail recipient       : \r\n";
      text += RecipientLines(info);
      break;
    case kWarnSendAdmin:
      text += "The following email had size restriction in it!\r\n";
      text += StringPrintf(
          "User %s can't send mail more than %d KB,but his mail size is %d KB(appr.)\r\n",
          info.sender.c_str(), info.send_limit, info.mail_size);
      text += StringPrintf(
          "\r\nAction taken: The email was %s\r\n",
          info.send_action == kActionForward ? "Forwarded to Adminstrator" : "Deleted");
      text += kSeparator;
      text += StringPrintf("The Mail came from    : %s\r\n", info.sender.c_str());
      text += "The Mail recipient       :\r\n ";
      text += RecipientLines(info);
      break;
    case kWarnReceiveRecipient: {
      const int limit = node != nullptr ? node->receive_limit : info.receive_limit;
      const int action = node != nullptr ? node->receive_action : info.receive_action;
      text += StringPrintf(
          "The following email %s sent was not delivered to the you\r\nit had size "
          "restrication in it!\r\n",
          info.sender.c_str());
      text +=
          StringPrintf("you can't Receive mail more than %d KB. Your mail size is %d KB(appr.)\r\n",
                       limit, info.mail_size);
      text += StringPrintf("\r\nAction taken: The email was %s\r\n",
                           action == kActionForward
                               ? "Forwarded to Adminstrator and Mail has been Deleted"
                               : "Deleted");
      text += kSeparator;
      text += StringPrintf("The Mail came from    : %s\r\n", info.sender.c_str());
      text += "The Mail recipient       : You";
      break;
    }
    default:  // kinds 3 and 4
      text += "The following email you sent was not delivered to the \r\nintended recipients "
              "as it had size restrication in it!\r\n";
      text += kSeparator;
      text += StringPrintf("The Mail came from    : %s\r\n\r\n", info.sender.c_str());
      for (const RejectedRecipient& rejected : info.rejected) {
        text += "User " + rejected.address;
        text += StringPrintf(" Not able to receive More than %dMB mails, %s\r\n",
                             rejected.receive_limit,
                             rejected.receive_action == kActionForward
                                 ? "and copy of mail Forwarded to Adminstrator and original Mail "
                                   "has been Deleted"
                                 : "and Mail has been Deleted");
      }
      break;
  }
  text += StringPrintf("\r\nSubject of the Mail      : %s\r\n", subject);
  text += "\r\n=============================================================\r\n\r\n\r\n";
  text += "Use  Vantrel on your  EMail  Servers  and  Pellorin on your\r\n";
  text += "Windows-based PCs and Servers for maximum protection from\r\n";
  text += "Internet-borne viruses.\r\n";
  return text;
}

bool CreateBodyFile(const std::string& path, const WarningInfo& info, int kind,
                    const RejectedRecipient* node) {
  HANDLE file = CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Log(foundation::ErrorText());
    Logf("ERROR!!! Unable to Create File %s in CreateBodyFile. Reason above", path.c_str());
    return false;
  }
  const std::string text = BodyText(info, kind, node);
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr);
  CloseHandle(file);
  if (!ok || written != text.size()) {
    Log(foundation::ErrorText());
    Logf("ERROR!!! Unable to Create File %s in CreateBodyFile. Reason above", path.c_str());
    return false;
  }
  return true;
}

STATUS GenerateWarningMessage(const WarningInfo* info, bool send_case, bool to_sender,
                              bool to_admins, bool to_recipients) {
  if (info == nullptr) {
    Log("ERROR!!! GenerateWarningMessage Input parameter is NULL");
    return 1;
  }
  STATUS result = NOERROR;
  bool body_failed = false;
  if (to_sender) {
    Log("Composing Warning Mails to Sender!!!");
    const STATUS status =
        WriteOneWarning(*info, send_case ? kWarnSendSender : kWarnReceiveSender, nullptr,
                        info->sender, kSubjectSender, body_failed);
    if (result == NOERROR) result = status;
  }
  if (to_admins) {
    Log("Composing Warning Mails to Administrator!!!");
    const STATUS status =
        WriteOneWarning(*info, send_case ? kWarnSendAdmin : kWarnReceiveAdmin, nullptr,
                        AdminAddressees(), kSubjectAdmin, body_failed);
    if (result == NOERROR) result = status;
  }
  if (to_recipients && !send_case) {
    Log("Composing Warning Mails to Receipent!!!");
    for (const RejectedRecipient& node : info->rejected) {
      Logf("Sending Warning Mail for %s...", node.address.c_str());
      const STATUS status = WriteOneWarning(*info, kWarnReceiveRecipient, &node, node.address,
                                            kSubjectRecipient, body_failed);
      if (status != NOERROR && !body_failed) {
        if (result == NOERROR) result = status;
        break;
      }
      if (status != NOERROR && result == NOERROR) result = status;
    }
  }
  return result;
}

STATUS AddReceipentsField(NOTEHANDLE note, std::string_view address, bool create) {
  if (address.empty()) {
    Log("ERROR!!! AddReceipentsField Input Parameter is Emtpy");
    return 1;
  }
  const std::string text(address.substr(0, MAXWORD - 1));
  if (create) {
    const STATUS status = NSFItemCreateTextList(note, MAIL_RECIPIENTS_ITEM, text.c_str(),
                                                static_cast<WORD>(text.size()));
    if (status != NOERROR) {
      LogNotesError(status);
      Log("ERROR!!! in NSFItemCreateTextList in AddReceipentsField. Reason aboven");
    }
    return status;
  }
  const STATUS status = NSFItemAppendTextList(note, MAIL_RECIPIENTS_ITEM, text.c_str(),
                                              static_cast<WORD>(text.size()), FALSE);
  if (status != NOERROR) {
    LogNotesError(status);
    Log("ERROR!!! in NSFItemAppendTextList in AddReceipentsField. Reason aboven");
  }
  return status;
}

namespace {

// Splits an address list into Recipients: the first with create, the rest appended.
STATUS BuildRecipients(NOTEHANDLE note, const std::string& list, bool first_creates,
                       bool& created) {
  created = !first_creates;
  for (const std::string& address : foundation::SplitAddressList(list)) {
    const STATUS status = AddReceipentsField(note, address, !created);
    if (status != NOERROR) {
      Logf("ERROR!!! Unable to User Name = %s into AddReceipentField", address.c_str());
      return status;
    }
    created = true;
  }
  return NOERROR;
}

}  // namespace

STATUS ComposeWarningMessage(const std::string& mailbox_path, const std::string& addressees,
                             const std::string& from, const std::string& subject,
                             const std::string& body_file, bool blind) {
  if (mailbox_path.empty() || addressees.empty() || from.empty() || subject.empty() ||
      body_file.empty()) {
    Log("ERROR!!! ComposeWarningMessage function Input is NULL");
    return 1;
  }
  const char* box = mailbox_path.c_str();
  // Declared in this order, a half-built or finished note is closed before the mail box.
  foundation::DbOwner mailbox;
  foundation::NoteOwner warning;
  STATUS status = NSFDbOpen(box, mailbox.out());
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFDbOpen Fails in ComposeWarningMessage mailbox name =%s... Reason above",
         box);
    return status;
  }
  TIMEDATE now = {};
  OSCurrentTIMEDATE(&now);
  status = NSFNoteCreate(mailbox.get(), warning.out());
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFNoteCreate Fails in ComposeWarningMessage mailbox name =%s... Reason "
         "above",
         box);
    return status;
  }
  const NOTEHANDLE note = warning.get();
  auto set_text = [&](const char* item, const char* label, const std::string& value) {
    const STATUS result = NSFItemSetText(note, item, value.c_str(), MAXWORD);
    if (result != NOERROR) {
      LogNotesError(result);
      Logf("ERROR!!! NSFItemSetText(%s) Fails in ComposeWarningMessage mailbox name =%s... "
           "Reason above",
           label, box);
    }
    return result;
  };
  if ((status = set_text(MAIL_FORM_ITEM, "FIELD_FORM", "Memo")) != NOERROR) return status;
  if ((status = set_text(blind ? MAIL_BLINDCOPYTO_ITEM : MAIL_SENDTO_ITEM,
                         blind ? "MAIL_BLINDCOPYTO_ITEM" : "MAIL_SENDTO_ITEM", addressees)) !=
      NOERROR) {
    return status;
  }
  bool created = false;
  if ((status = BuildRecipients(note, addressees, true, created)) != NOERROR) {
    Log("ERROR!!! AddReceipentsField Fails in ComposeWarningMails");
    return status;
  }
  if ((status = set_text(MAIL_FROM_ITEM, "MAIL_FROM_ITEM", from)) != NOERROR) return status;
  if ((status = set_text(MAIL_SUBJECT_ITEM, "MAIL_SUBJECT_ITEM", subject)) != NOERROR) {
    return status;
  }
  if ((status = set_text(MAIL_DELIVERYPRIORITY_ITEM, "MAIL_DELIVERYPRIORITY_ITEM", "Normal")) !=
      NOERROR) {
    return status;
  }
  if ((status = set_text(MAIL_DELIVERYREPORT_ITEM, "MAIL_DELIVERYREPORT_ITEM", "Basic")) !=
      NOERROR) {
    return status;
  }
  if ((status = set_text(MAIL_RETURNRECEIPT_ITEM, "MAIL_RETURNRECEIPT_ITEM", "No")) != NOERROR) {
    return status;
  }
  const std::pair<const char*, const char*> times[] = {
      {MAIL_COMPOSEDDATE_ITEM, "MAIL_COMPOSEDDATE_ITEM"},
      {MAIL_POSTEDDATE_ITEM, "MAIL_POSTEDDATE_ITEM"}};
  for (const auto& [item, label] : times) {
    status = NSFItemSetTime(note, item, &now);
    if (status != NOERROR) {
      LogNotesError(status);
      Logf("ERROR!!! NSFItemSetTime(%s) Fails in ComposeWarningMessage mailbox name =%s... "
           "Reason above",
           label, box);
      return status;
    }
  }
  const char delimiters[] = {'\r', '\n', 0x1A, '\0'};
  status = MailAddMessageBodyText(note, nullptr, body_file.c_str(), 0, delimiters, 0, nullptr);
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! MailAddMessageBodyText Fails in ComposeWarningMessage mailbox name =%s... "
         "Reason above",
         box);
    return status;
  }
  if ((status = set_text(kMarkItem, "X-Vantrel", CurrentSettings().installation_id)) !=
      NOERROR) {
    return status;
  }
  status = NSFNoteUpdate(note, 0);
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFNoteUpdate Fails in ComposeWarningMessage mailbox name =%s... Reason "
         "above",
         box);
  }
  return status;
}

STATUS ChangeMailReceipientHeader(NOTEHANDLE note, const std::string& send_to,
                                  const std::string& copy_to,
                                  const std::string& blind_copy_to) {
  try {
    struct Header {
      WORD number;
      const char* name;
      const std::string* kept;
    };
    const Header headers[] = {{MAIL_SENDTO_ITEM_NUM, "MAIL_SENDTO_ITEM_NUM", &send_to},
                              {MAIL_COPYTO_ITEM_NUM, "MAIL_COPYTO_ITEM", &copy_to},
                              {MAIL_BLINDCOPYTO_ITEM_NUM, "MAIL_BLINDCOPYTO_ITEM", &blind_copy_to}};
    for (const Header& header : headers) {
      const STATUS status = MailReplaceHeaderItem(note, header.number, "", 0);
      if (status != NOERROR) {
        LogNotesError(status);
        Logf("ERROR!!! ChangeMailReceipientHeader->MailReplaceHeaderItem(%s) Fails...Reason "
             "above",
             header.name);
        return status;
      }
    }
    std::string joined;
    for (const Header& header : headers) {
      if (header.kept->empty()) continue;
      const std::string value = header.kept->substr(0, MAXWORD - 1);
      const STATUS status = MailReplaceHeaderItem(note, header.number, value.c_str(),
                                                  static_cast<WORD>(value.size()));
      if (status != NOERROR) {
        LogNotesError(status);
        Logf("ERROR!!! ChangeMailReceipientHeader->MailReplaceHeaderItem(%s) Fails... Reason "
             "above",
             header.name);
        return status;
      }
      if (!joined.empty() && joined.back() != ',') joined += ',';
      joined += *header.kept;
    }
    if (joined.empty()) return NOERROR;
    // The rebuilt list holds exactly the kept addresses: whatever Recipients held before is
    // replaced by the first creation.
    bool created = false;
    return BuildRecipients(note, joined, true, created);
  } catch (...) {
    Log("ERROR!!! ChangeMailReceipientHeader Caught!!!");
    return 1;
  }
}

}  // namespace rights
