// extension.cpp - loading the extension and the per-mail check of the note-update hook.
//
// What it is for: MainEntryPoint reads the installation's settings once and installs the
// note-update hook; the hook filters out everything that is not a new mail in a router mail
// box, then checks the mail's sender and recipients and leaves the marks.
// Ownership: each checked mail's WarningInfo is made and freed by the hook call.
// Locks: none (see rights.h).
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <thread>

#include "foundation/config.h"
#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "rights/rights.h"

namespace rights {
namespace {

constexpr const char* kHyphens45 = "---------------------------------------------";
constexpr const char* kHyphens46 = "----------------------------------------------";

std::string ProductValue(std::string_view name, std::string_view default_value) {
  std::string value;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, name, value, default_value);
  return value;
}

// A warning switch is on only when its value is "1".
bool SwitchOn(std::string_view name) { return ProductValue(name, "1") == "1"; }

void ReadDebugLevel() {
  std::string value;
  const LONG result =
      foundation::ReadProductValue(foundation::kProductSubkey, "VTDEBUG", value, "0");
  long number = 0;
  if (result == ERROR_SUCCESS && value.empty()) {
    // An empty value is repaired to "1", which is below the detail level.
    (void)foundation::WriteProductValue(foundation::kProductSubkey, "VTDEBUG", "1");
  } else if (!foundation::ParseNumber(value, number)) {
    number = 0;
  }
  SetDebugLevel(number >= 5 ? 5 : 0);
}

bool IsNewNoteId(NOTEID note_id) {
  return note_id == 0 || note_id == 0x80000000u || note_id == 0x80000001u;
}

enum class Addressee { kSender, kAdministrators, kRecipients };

// Writes the warnings to one kind of addressee when its switch is on, and logs whether it
// is; a failing warning is logged and changes nothing else.
void WarnWhenOn(const WarningInfo& info, bool send_case, const char* switch_name,
                Addressee addressee) {
  struct Lines {
    const char* enabled;
    const char* disabled;
  };
  static constexpr Lines kSender{"Sending Warning Mail for Sender is Enabled",
                                 "WARNING!!! Sending Warning Mail for Sender is Disabled"};
  static constexpr Lines kAdministrators{
      "Sending Warning Mail for Administrator is Enabled",
      "WARNING!!! Sending Warning Mail for Administrator is Disabled"};
  static constexpr Lines kRecipients{"Sending Warning Mail for Recipient is Enabled",
                                     "WARNING!!! Sending Warning Mail for Recipient is Disabled"};
  const Lines& lines = addressee == Addressee::kSender           ? kSender
                       : addressee == Addressee::kAdministrators ? kAdministrators
                                                                 : kRecipients;
  const bool on = SwitchOn(switch_name);
  Log(on ? lines.enabled : lines.disabled);
  if (!on) return;
  if (GenerateWarningMessage(&info, send_case, addressee == Addressee::kSender,
                             addressee == Addressee::kAdministrators,
                             addressee == Addressee::kRecipients) != NOERROR) {
    Log("ERROR!!! GenerateWaringMessage Fails");
  }
}

}  // namespace

void FillAdminId(const std::string& config_path) {
  try {
    Settings& settings = CurrentSettings();
    std::size_t size = 201;
    std::string text;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      text = foundation::ReadIniValue(foundation::kGeneralSection, "AdminEmailId", "",
                                      config_path, size);
      if (text.size() + 1 < size) break;
      size += 200;
    }
    text += ',';
    std::size_t start = 0;
    while (start < text.size() && settings.admins.size() < kAdminEntries) {
      const std::size_t comma = text.find(',', start);
      std::string piece = text.substr(start, comma - start);
      start = comma + 1;
      if (piece.empty()) continue;
      // The table holds kAdminEntries addresses of at most 517 characters: more addresses are
      // dropped and a longer one is cut.
      if (piece.size() > kAdminEntryBytes - 1) piece.resize(kAdminEntryBytes - 1);
      settings.admins.push_back(std::move(piece));
    }
  } catch (const std::bad_alloc&) {
    Log("ERROR!!! FillADMINID Unable to allocat memory");
  } catch (...) {
    Log("ERROR!!! Catch Caught FillAdminID");
  }
}

STATUS EntryPoint(DBHOOKVEC* vector) {
  try {
    Settings& settings = CurrentSettings();
    settings = Settings{};
    std::string install;
    if (!foundation::FindInstallDirectory(install, kPathBytes)) return NOERROR;
    settings.install_directory = install;
    settings.config_path = foundation::JoinPath(install, foundation::kProductIniName);
    const std::string report = foundation::ReadIniValue(
        foundation::kGeneralSection, "ReportDirectory", "", settings.config_path, kPathBytes);
    settings.log_path = report.empty() ? std::string(kLogFileName)
                                       : foundation::JoinPath(report, kLogFileName);
    foundation::SetScratchLogFile(settings.log_path);
    settings.installation_id = foundation::ReadIniValue(
        foundation::kGeneralSection, "VantrelID", "", settings.config_path, kPathBytes);
    FillAdminId(settings.config_path);
    if (vector != nullptr) vector->NoteUpdate = &NoteUpdate;
  } catch (...) {
    // The library stays loaded and inert; the server goes on without it.
  }
  return NOERROR;
}

void FreeWarningInfo(WarningInfo*& info) {
  try {
    if (info == nullptr) return;
    info->send_to.clear();
    LogDetail("Free Memory Done for (*info)->SendTo_O");
    info->copy_to.clear();
    LogDetail("Free Memory Done for (*info)->CopyTo_O");
    info->blind_copy_to.clear();
    LogDetail("Free Memory Done for (*info)->BlinCopyTo_O");
    delete info;
    info = nullptr;
    LogDetail("Free Memory Done for (*info)");
  } catch (...) {
    Log("ERROR!!! Catch Caught in Function FreeWarningInfo");
  }
}

bool CheckUserSizeRestriction(DBHANDLE db, WarningInfo& info, NOTEHANDLE note) {
  try {
    char path[MAXPATH] = {};
    if (NSFDbPathGet(db, path, nullptr) == NOERROR) info.mailbox_path = path;

    char from[kAddressBytes] = {};
    WORD length = 0;
    STATUS status = MailGetMessageItem(note, MAIL_FROM_ITEM_NUM, from, kAddressBytes - 1,
                                       &length);
    if (status != NOERROR) {
      LogNotesError(status);
      Log("ERROR!!! Unable to Get From Address in function CheckUserSizeRestriction");
      return false;
    }
    info.sender = from;
    NormaliseAddress(info.sender);
    if (info.sender.empty()) {
      Log("ERROR!!! From Address is empty");
      return false;
    }
    char subject[kSubjectBytes] = {};
    status = MailGetMessageItem(note, MAIL_SUBJECT_ITEM_NUM, subject, kSubjectBytes - 1,
                                &length);
    if (status != NOERROR) {
      LogNotesError(status);
      Log("ERROR!!! Unable to Get Subject Address in function CheckUserSizeRestriction");
      return false;
    }
    info.subject = subject;
    info.send_to = GetUserList(note, kListSendTo);
    info.copy_to = GetUserList(note, kListCopyTo);
    info.blind_copy_to = GetUserList(note, kListBlindCopyTo);

    LogDetailf("From Address = %s", info.sender.c_str());
    LogDetailf("Subject = %s", info.subject.c_str());
    if (!info.send_to.empty()) {
      LogDetail(info.send_to);
      LogDetail("SendTo address above");
    }
    if (!info.copy_to.empty()) {
      LogDetail(info.copy_to);
      LogDetail("CopyTo address above");
    }
    if (!info.blind_copy_to.empty()) {
      LogDetail(info.blind_copy_to);
      LogDetail("BlindcopyTo address above");
    }
    LogDetail(kHyphens46);

    if (IsThisUserSendMailMoreThanLimit(info, note)) {
      Log("IsThisUserSendMailMoreThanLimit return TRUE");
      Logf("Type of Action taken = %d", info.send_action);
      (void)SetSendActionMark(note, info.send_action);
      WarnWhenOn(info, true, "WTOA_Send_SizeRestriction", Addressee::kAdministrators);
      WarnWhenOn(info, true, "WTOS_Send_SizeRestriction", Addressee::kSender);
      return true;
    }
    if (info.do_not_scan != 0) {
      Log(kHyphens46);
      Logf("WARNING!!! Mail Don't Scan Mail from this %s User is Set", info.sender.c_str());
      return false;
    }
    Log("IsThisUserSendMailMoreThanLimit return FALSE so Check for "
        "IsThisUserReceiveMailMoreThanLimit");
    if (!CheckReceipientList(info, note)) {
      Log("Function CheckReceipentList return FALSE");
      return false;
    }
    Log("Function CheckReceipentList return TRUE");
    WarnWhenOn(info, false, "WTOR_Receive_SizeRestriction", Addressee::kRecipients);
    WarnWhenOn(info, false, "WTOS_Receive_SizeRestriction", Addressee::kSender);
    WarnWhenOn(info, false, "WTOA_Receive_SizeRestriction", Addressee::kAdministrators);
    return true;
  } catch (...) {
    Log("ERROR!!! Catch Caught in Function CheckUserSizeRestriction");
    return false;
  }
}

STATUS NoteUpdate(DBHOOKVEC* /*vector*/, char* /*user_name*/, void* /*group_list*/,
                  DBHANDLE db, NOTEID note_id, NOTEHANDLE note, WORD* update_flags) {
  try {
    if (note == NULLHANDLE) return NOERROR;
    char path[MAXPATH] = {};
    if (NSFDbPathGet(db, path, nullptr) != NOERROR) return NOERROR;
    if (std::strstr(path, "mail") == nullptr || std::strstr(path, ".box") == nullptr) {
      return NOERROR;
    }
    if (MailGetMessageClass(note) == MAIL_CLASS_NOT_MAIL) return NOERROR;
    if (!IsNewNoteId(note_id)) return NOERROR;
    if (update_flags != nullptr && (*update_flags & UPDATE_DELETED) != 0) return NOERROR;

    const Settings& settings = CurrentSettings();
    if (!foundation::IsEngineRunning(settings.install_directory)) {
      LogDetail("WARNING!!!! Vantrel is Disabled");
      return NOERROR;
    }
    ReadDebugLevel();
    const std::string enabled = ProductValue("SizeRestrictionEnabled", "0");
    if (enabled == "0") {
      LogDetailf("SizeRestrictionEnabled Option is Disabled,So Not doing Anything..."
                 "SizeRestrictionEnabled = %s",
                 enabled.c_str());
      return NOERROR;
    }
    char module[MAX_PATH] = {};
    GetModuleFileName(nullptr, module, sizeof(module));
    LogDetailf("Module Name = %s", module);
    LogDetail(kHyphens45);
    LogDetailf("Processing Mail %#x", static_cast<unsigned>(note));

    char mark[kPathBytes] = {};
    if (!settings.installation_id.empty()) {
      NSFItemGetText(note, kMarkItem, mark, sizeof(mark));
      if (settings.installation_id == mark) {
        LogDetail("WARNING!!! This is a Warning Mail, So not checking any conditions!!!");
        return NOERROR;
      }
    }
    char done[kPathBytes] = {};
    NSFItemGetText(note, kDoneItem, done, sizeof(done));
    if (foundation::EqualsNoCase(done, kDoneValue)) {
      LogDetailf("[NOTEID: %#x]X-SizeRestriction Found... SizeRestriction for this mail has "
                 "been done previously",
                 static_cast<unsigned>(note));
      return NOERROR;
    }
    WarningInfo* info = new (std::nothrow) WarningInfo();
    if (info == nullptr) {
      Log("ERROR!!! Unable to Allocate memory for WARNINGINFO");
      return NOERROR;
    }
    std::string size_text;
    const STATUS status = CalculateSize(note, size_text);
    if (status != NOERROR) {
      Log("ERROR!!! CalculateSize Function!!!");
      FreeWarningInfo(info);
      return status;
    }
    info->mail_size = SizeTextToKb(size_text);
    Logf("Orignal Mail Size = %d", info->mail_size);
    if (CheckUserSizeRestriction(db, *info, note)) {
      const STATUS marked = NSFItemSetText(note, kDoneItem, kDoneValue, MAXWORD);
      if (marked == NOERROR) {
        LogDetailf("[NOTEID: %#x]X-SizeRestriction Added successfuly",
                   static_cast<unsigned>(note));
      } else {
        LogNotesError(marked);
        Logf("ERROR!!! [NOTEID: %#x]NSFItemSetText(X-SizeRestriction) Fails in "
             "IsThisUserSendMailMoreThanLimit...Reason above.",
             static_cast<unsigned>(note));
      }
      Log("UserWiseSizeRestriction Occur in this EMail!!!");
    } else {
      Log("NO UserWiseSizeRestriction in this EMail!!!");
    }
    FreeWarningInfo(info);
  } catch (...) {
    // Nothing may reach the server: the mail passes as it is.
  }
  return NOERROR;
}

STATUS Term(DBHOOKVEC* /*vector*/) { return NOERROR; }

}  // namespace rights
