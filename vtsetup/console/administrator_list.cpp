// administrator_list.cpp - the administrator list (111) and the three small dialogs it
// opens to add an administrator: database (101), user type (130), ID confirmation (129).
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/utilities.h"
#include "vtsetup/console/admin_id.h"
#include "vtsetup/console/console.h"
#include "vtsetup/console/dialog_support.h"

namespace vtsetup {

namespace {

// Most entries removed by one Delete.
constexpr int kMaxDeleted = 512;
constexpr const char* kNotMailDatabase2 =
    "%s is Not a Mail Database (2).\n Please Select Valid Mail Database";
constexpr const char* kNotMailDatabase1 =
    "%s is Not a Mail Database (1).\nPlease Select Valid Mail Database";

// ---------------------------------------------------------------------------------------------
// Database dialog (101).

INT_PTR CALLBACK DatabaseProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Attach(dialog, lparam, kCaption);
      SendDlgItemMessage(dialog, kDatabaseEdit, EM_LIMITTEXT, kDatabaseChars, 0);
      Enable(dialog, IDOK, false);
      SetFocus(GetDlgItem(dialog, kDatabaseEdit));
      return FALSE;
    case WM_COMMAND: {
      ConsoleState& state = StateOf(dialog);
      switch (LOWORD(wparam)) {
        case kDatabaseEdit:
          if (HIWORD(wparam) == EN_CHANGE) Enable(dialog, IDOK, true);
          return TRUE;
        case IDOK: {
          const std::string name = ItemText(dialog, kDatabaseEdit, kDatabaseChars);
          if (!name.empty() && RefuseCommaInPath(dialog, name)) return TRUE;
          bool passed = false;
          if (!name.empty()) {
            if (!DatabaseExists(state, name)) {
              ConsoleLog("ERROR!!! " + name + " File Not Found in MySubDlg.");
            } else {
              switch (TestMailDatabase(dialog, state, name, true)) {
                case MailTest::kMail:
                  passed = true;
                  break;
                case MailTest::kNoClass:
                  ShowMessage(dialog, Format(kNotMailDatabase2, name), "Warning",
                              MB_OK | MB_ICONWARNING);
                  break;
                case MailTest::kNotMail:
                  ShowMessage(dialog, Format(kNotMailDatabase1, name), "Warning",
                              MB_OK | MB_ICONWARNING);
                  break;
                case MailTest::kFailed:
                  break;
              }
            }
          }
          if (passed) {
            state.database_name = name;
            EndDialog(dialog, IDOK);
            return TRUE;
          }
          [[fallthrough]];
        }
        case kBrowseButton: {
          const std::string path = BrowseDatabase(dialog, state);
          if (!path.empty()) SetDlgItemText(dialog, kDatabaseEdit, path.c_str());
          return TRUE;
        }
        case IDCANCEL:
          state.database_name = kCancelledDatabase;
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    }
    case WM_CLOSE:
      StateOf(dialog).database_name = kCancelledDatabase;
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------------------------
// User type (130) and e-mail ID confirmation (129).

INT_PTR CALLBACK UserTypeProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Attach(dialog, lparam, "User Type");
      CheckRadioButton(dialog, kLocalUserRadio, kInternetUserRadio, kLocalUserRadio);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kSmallOkButton:
        case IDOK:
          StateOf(dialog).internet_user =
              IsDlgButtonChecked(dialog, kLocalUserRadio) != BST_CHECKED;
          EndDialog(dialog, IDOK);
          return TRUE;
        case kSmallCancelButton:
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

constexpr const char* kExternalIdCaption = "Enter the valid External Email ID";

INT_PTR CALLBACK ConfirmIdProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      ConsoleState& state = *reinterpret_cast<ConsoleState*>(lparam);
      if (state.internet_user) SetWindowText(dialog, kExternalIdCaption);
      Attach(dialog, lparam, state.internet_user ? kExternalIdCaption : "Email ID Confirmation");
      if (!state.internet_user) ShowWindow(GetDlgItem(dialog, kSmallCancelButton), SW_HIDE);
      SendDlgItemMessage(dialog, kConfirmIdEdit, EM_LIMITTEXT, kConfirmedIdChars, 0);
      SetDlgItemText(dialog, kConfirmIdEdit, state.admin_id.c_str());
      SetFocus(GetDlgItem(dialog, kConfirmIdEdit));
      return FALSE;
    }
    case WM_COMMAND: {
      ConsoleState& state = StateOf(dialog);
      switch (LOWORD(wparam)) {
        case kSmallOkButton:
        case IDOK:
          if (AcceptAdminId(dialog, kConfirmIdEdit, kConfirmedIdChars, state))
            EndDialog(dialog, IDOK);
          return TRUE;
        case kSmallCancelButton:
        case IDCANCEL:
          // A local user's dialog has no Cancel to press; Esc does not leave it either.
          if (!state.internet_user) return TRUE;
          state.admin_id.clear();
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    }
    case WM_CLOSE:
      StateOf(dialog).admin_id.clear();
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------------------------
// Administrator list (111).

struct ListDialog {
  ConsoleState* state;
  const std::function<void()>* save;
};

ListDialog& ListOf(HWND dialog) {
  return *reinterpret_cast<ListDialog*>(GetWindowLongPtr(dialog, DWLP_USER));
}

void UpdateListButtons(HWND dialog, long max_admins) {
  const int count = ListCount(dialog, kAdminIdList);
  Enable(dialog, kDeleteButton, count > 1);
  Enable(dialog, kDeleteAllButton, count > 1);
  Enable(dialog, kAddButton, count < max_admins);
}

void AddAdministrator(HWND dialog, const std::string& id, const std::string& database) {
  SendDlgItemMessage(dialog, kAdminIdList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(id.c_str()));
  SendDlgItemMessage(dialog, kAdminDatabaseList, LB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(database.c_str()));
  Enable(dialog, kSaveButton, true);
}

bool IsListed(HWND dialog, const std::string& id) {
  for (int i = 0, n = ListCount(dialog, kAdminIdList); i < n; ++i) {
    if (foundation::EqualsNoCase(ListText(dialog, kAdminIdList, i), id)) return true;
  }
  return false;
}

void ListAdd(HWND dialog) {
  ListDialog& list = ListOf(dialog);
  ConsoleState& state = *list.state;
  state.internet_user = false;
  if (RunDialog(kUserTypeDialog, dialog, UserTypeProc, state) != IDOK) return;
  if (state.internet_user) {
    state.admin_id.clear();
    if (RunDialog(kConfirmIdDialog, dialog, ConfirmIdProc, state) == IDOK &&
        !state.admin_id.empty())
      AddAdministrator(dialog, state.admin_id, kInternetDatabase);
  } else {
    while (true) {
      state.database_name.clear();
      // A dialog that cannot be made, or a list that is gone, would be asked again forever.
      if (RunDialog(kDatabaseDialog, dialog, DatabaseProc, state) == -1 || !IsWindow(dialog)) break;
      if (state.database_name.empty()) continue;
      if (state.database_name == kCancelledDatabase) break;
      const std::string base = DatabaseBaseName(state.database_name);
      state.admin_id = base + "@" + state.primary_domain;
      state.sender_name = base;
      if (RunDialog(kConfirmIdDialog, dialog, ConfirmIdProc, state) != IDOK ||
          state.admin_id.empty())
        break;
      if (IsListed(dialog, state.admin_id)) {
        ShowMessage(dialog, state.admin_id + " has already selected", "Warning",
                    MB_OK | MB_ICONWARNING);
        continue;
      }
      AddAdministrator(dialog, state.admin_id, state.database_name);
      break;
    }
  }
  UpdateListButtons(dialog, state.max_admins);
}

void ListDelete(HWND dialog) {
  ListDialog& list = ListOf(dialog);
  const int selected =
      static_cast<int>(SendDlgItemMessage(dialog, kAdminIdList, LB_GETSELCOUNT, 0, 0));
  if (selected <= 0) return;
  if (selected > kMaxDeleted) {
    ShowMessage(dialog, "Too many items selected.", "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  std::vector<int> indexes(static_cast<std::size_t>(selected));
  const int got = static_cast<int>(SendDlgItemMessage(
      dialog, kAdminIdList, LB_GETSELITEMS, selected, reinterpret_cast<LPARAM>(indexes.data())));
  indexes.resize(static_cast<std::size_t>(std::max(got, 0)));
  std::sort(indexes.begin(), indexes.end());
  // Every entry selected: the first stays, as with Delete All, so that a Save never leaves
  // the installation without an administrator.
  if (static_cast<int>(indexes.size()) == ListCount(dialog, kAdminIdList))
    indexes.erase(indexes.begin());
  if (indexes.empty()) return;
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    SendDlgItemMessage(dialog, kAdminIdList, LB_DELETESTRING, *it, 0);
    SendDlgItemMessage(dialog, kAdminDatabaseList, LB_DELETESTRING, *it, 0);
  }
  const int count = ListCount(dialog, kAdminIdList);
  const int next = indexes.front() < count ? indexes.front() : 0;
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, FALSE, -1);
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, next);
  Enable(dialog, kSaveButton, true);
  UpdateListButtons(dialog, list.state->max_admins);
}

void ListDeleteAll(HWND dialog) {
  while (ListCount(dialog, kAdminIdList) > 1) {
    SendDlgItemMessage(dialog, kAdminIdList, LB_DELETESTRING, 1, 0);
    SendDlgItemMessage(dialog, kAdminDatabaseList, LB_DELETESTRING, 1, 0);
  }
  while (ListCount(dialog, kAdminDatabaseList) > 1)
    SendDlgItemMessage(dialog, kAdminDatabaseList, LB_DELETESTRING, 1, 0);
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, 0);
  Enable(dialog, kSaveButton, true);
  UpdateListButtons(dialog, ListOf(dialog).state->max_admins);
}

std::string JoinListEntries(HWND dialog, int id) {
  std::string joined;
  for (int i = 0, n = ListCount(dialog, id); i < n; ++i) {
    if (i > 0) joined += ",";
    joined += ListText(dialog, id, i);
  }
  return joined;
}

void ListSave(HWND dialog) {
  ListDialog& list = ListOf(dialog);
  ConsoleState& state = *list.state;
  const std::string ids = JoinListEntries(dialog, kAdminIdList);
  if (ids.size() > kStoredAdminListChars) {
    ShowMessage(dialog,
                foundation::StringPrintf(
                    "The list of administrators is too long to be stored (%zu characters, at "
                    "most %zu).\nPlease delete an administrator",
                    ids.size(), kStoredAdminListChars),
                "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB",
                                JoinListEntries(dialog, kAdminDatabaseList));
  (void)foundation::WriteIniValue(foundation::kGeneralSection, "AdminEmailId", ids, state.ini_path);
  state.sender_name = SenderName(ListText(dialog, kAdminIdList, 0));
  if (*list.save) (*list.save)();
  EndDialog(dialog, IDOK);
}

void FillAdministratorList(HWND dialog, ConsoleState& state) {
  std::string max_text;
  if (foundation::ReadProductValue(foundation::kProductSubkey, "AdminCount", max_text, "") !=
      ERROR_SUCCESS) {
    max_text = "10";
    foundation::WriteProductValue(foundation::kProductSubkey, "AdminCount", max_text);
  }
  long max_admins = 10;
  if (foundation::ParseNumber(max_text, max_admins)) state.max_admins = max_admins;
  std::string databases;
  std::size_t size = MAX_PATH;
  while (foundation::ReadProductValue(foundation::kProductSubkey, "VTADMINDB", databases, "",
                                      size) == ERROR_MORE_DATA)
    size += 100;
  // Read whole, whatever its length: a list cut here would be saved cut.
  std::string ids;
  for (std::size_t size = kStoredAdminListChars + 1;; size *= 2) {
    ids = foundation::ReadIniValue(foundation::kGeneralSection, "AdminEmailId", "", state.ini_path,
                                   size);
    if (ids.size() + 1 < size) break;
  }
  for (const std::string& id : SplitList(ids))
    SendDlgItemMessage(dialog, kAdminIdList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(id.c_str()));
  for (const std::string& database : SplitList(databases)) {
    if (database.empty()) continue;
    SendDlgItemMessage(dialog, kAdminDatabaseList, LB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(database.c_str()));
  }
  UpdateListButtons(dialog, state.max_admins);
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, 0);
  Enable(dialog, kSaveButton, false);
}

INT_PTR CALLBACK AdministratorListProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      Attach(dialog, lparam, kCaption);
      ShowWindow(GetDlgItem(dialog, kAdminDatabaseList), SW_HIDE);
      FillAdministratorList(dialog, *ListOf(dialog).state);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kAddButton:
          ListAdd(dialog);
          return TRUE;
        case kDeleteButton:
          ListDelete(dialog);
          return TRUE;
        case kDeleteAllButton:
          ListDeleteAll(dialog);
          return TRUE;
        case kAdminIdList:
          Enable(dialog, kDeleteButton, true);
          Enable(dialog, kDeleteAllButton, true);
          return TRUE;
        case kSaveButton:
          ListSave(dialog);
          return TRUE;
        case kCancelListButton:
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void RunAdministratorList(ConsoleState& state, const std::function<void()>& save) {
  RegisterConsoleTemplates();
  ListDialog list{&state, &save};
  // The list's procedure finds the state through the ListDialog record; the open-window
  // bookkeeping is the same as for every other dialog.
  if (DialogBoxParam(nullptr, MAKEINTRESOURCE(kAdministratorListDialog), nullptr,
                     AdministratorListProc, reinterpret_cast<LPARAM>(&list)) != -1)
    LeaveDialog();
}

}  // namespace vtsetup
