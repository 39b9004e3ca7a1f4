// dialogs.h - the console's five dialogs: the setup wizard, the administrator list and the
// three small dialogs the list opens to add an administrator.
//
// What it is for: an administrator names the mail administrators of the installation here;
// the wizard also picks the primary domain from the Domino directory. The dialogs validate
// what is typed (administrator IDs, mail databases) and leave their results in the
// ConsoleState; the start-up code (console.h) writes the settings that follow from them.
//
// Ownership: a dialog keeps a pointer to the caller's ConsoleState for its lifetime; the
// Notes databases it opens it closes before returning. Threads: the dialogs run on the one
// thread that calls RunSetupWizard / RunAdministratorList; a driving script in another
// thread reaches them only through the window calls and the open-window list below.
#pragma once

#include <functional>
#include <string>

#include "platform/ui/winuser.h"

namespace vtsetup {

// Template numbers.
inline constexpr WORD kDatabaseDialog = 101;
inline constexpr WORD kAdministratorListDialog = 111;
inline constexpr WORD kSetupWizardDialog = 119;
inline constexpr WORD kConfirmIdDialog = 129;
inline constexpr WORD kUserTypeDialog = 130;

// Control identifiers.
inline constexpr int kNextButton = 1;  // IDOK of the wizard and the database dialog
inline constexpr int kDatabaseEdit = 1000;
inline constexpr int kBrowseButton = 1001;
inline constexpr int kAddButton = 1002;
inline constexpr int kDeleteButton = 1003;
inline constexpr int kDeleteAllButton = 1004;
inline constexpr int kAdminIdList = 1005;
inline constexpr int kAdminDatabaseList = 1006;  // hidden, same order as kAdminIdList
inline constexpr int kSaveButton = 1007;
inline constexpr int kCancelListButton = 1009;
inline constexpr int kDomainCombo = 1011;
inline constexpr int kConfirmIdEdit = 1014;
inline constexpr int kSmallOkButton = 1015;
inline constexpr int kWizardIdEdit = 1016;
inline constexpr int kSmallCancelButton = 1017;
inline constexpr int kLocalUserRadio = 1018;
inline constexpr int kInternetUserRadio = 1019;

// The database name a dialog leaves when the administrator cancelled it.
inline constexpr const char* kCancelledDatabase = "exit";
// Database entry of an administrator reached by Internet mail only.
inline constexpr const char* kInternetDatabase = " ";

// What the dialogs share with the start-up code.
struct ConsoleState {
  bool edit_mode = false;
  std::string install_directory;        // with a trailing separator
  std::string ini_path;                 // vantrel.ini in the install directory
  std::string notes_program_directory;  // with a trailing separator
  std::string data_directory;           // where the file-open dialog starts
  std::string primary_domain;
  std::string admin_id;       // the administrator chosen in the last dialog
  std::string database_name;  // kCancelledDatabase when the dialog was cancelled
  std::string sender_name;    // WarningMailsFromUser
  bool internet_user = false;
  long max_admins = 10;
};

// Registers the five templates (once per process).
void RegisterConsoleTemplates();

// Setup mode's wizard (119). Returns when it closed; state.admin_id is empty when the
// administrator closed it without accepting.
void RunSetupWizard(ConsoleState& state);

// Edit mode's administrator list (111). Its Save writes the settings itself (through
// `save`, which the start-up code provides: the final settings step and the reload signal).
void RunAdministratorList(ConsoleState& state, const std::function<void()>& save);

// Shows a message box of the console and tells the open-window list about it. Returns the
// button pressed.
int ShowMessage(HWND owner, const std::string& text, const char* caption, UINT type);

// The console's open windows, newest last, for a driving script: each dialog of the console
// while it is open, and each message box or file-open dialog while it is shown (by caption:
// those windows belong to the window library).
struct OpenWindow {
  HWND dialog = nullptr;  // null for a message box or file-open dialog until found
  std::string caption;
  std::string text;  // a message box's text
  bool message_box = false;
  unsigned long serial = 0;  // tells a window from the next one with the same caption
};
// The newest open window; false when none is open.
[[nodiscard]] bool TopOpenWindow(OpenWindow& top);
// Called with caption and text of each message box as it is shown (or cleared with null).
void SetMessageBoxObserver(std::function<void(const std::string&, const std::string&)> observer);

}  // namespace vtsetup
