// dialogs.cpp - the console's dialog templates and procedures.
#include "vtsetup/console/dialogs.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/config.h"
#include "foundation/notes_handles.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "platform/ui/commdlg.h"
#include "vtsetup/console/admin_id.h"
#include "vtsetup/console/console.h"

namespace vtsetup {

namespace {

constexpr const char* kCaption = "Administrator";
constexpr const char* kFont = "MS Sans Serif";
constexpr WORD kFontSize = 8;
constexpr DWORD kDialogStyle = DS_CENTER | DS_MODALFRAME | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kPicture = SS_ICON;
// Most entries removed by one Delete.
constexpr int kMaxDeleted = 512;
// A server document's Internet domain is cut to this many characters.
constexpr WORD kServerDomainBytes = 32;
constexpr const char* kServerFormula = "SELECT form = \"Server\"";
constexpr const char* kNotMailDatabase4 =
    "%s is Not a Mail Database (4).\n Please Select Valid Mail Database";
constexpr const char* kNotMailDatabase3 =
    "%s is Not a Mail Database (3).\nPlease Select Valid Mail Database";
constexpr const char* kNotMailDatabase2 =
    "%s is Not a Mail Database (2).\n Please Select Valid Mail Database";
constexpr const char* kNotMailDatabase1 =
    "%s is Not a Mail Database (1).\nPlease Select Valid Mail Database";
constexpr const char* kInvalidId = "Email ID is not valid. Enter a valid Email ID";
constexpr const char* kOpenFailed = "Unable to Open the Database\nMore Details see Log Files";

// ---------------------------------------------------------------------------------------------
// Open windows, for a driving script.

std::mutex& OpenWindowsLock() {
  static std::mutex lock;
  return lock;
}
std::vector<OpenWindow>& OpenWindows() {
  static std::vector<OpenWindow> windows;
  return windows;
}
void PushOpenWindow(OpenWindow window) {
  static unsigned long serial = 0;
  window.serial = ++serial;
  OpenWindows().push_back(std::move(window));
}
std::function<void(const std::string&, const std::string&)>& BoxObserver() {
  static std::function<void(const std::string&, const std::string&)> observer;
  return observer;
}

// One entry of the open-window list for as long as the window is shown.
class OpenWindowEntry {
 public:
  explicit OpenWindowEntry(OpenWindow window) {
    std::lock_guard lock(OpenWindowsLock());
    PushOpenWindow(std::move(window));
  }
  ~OpenWindowEntry() {
    std::lock_guard lock(OpenWindowsLock());
    OpenWindows().pop_back();
  }
  OpenWindowEntry(const OpenWindowEntry&) = delete;
  OpenWindowEntry& operator=(const OpenWindowEntry&) = delete;
};

// A dialog enters the list when WM_INITDIALOG has run (its controls are set up) and leaves
// it when its modal loop has ended.
void EnterDialog(HWND dialog, const char* caption) {
  std::lock_guard lock(OpenWindowsLock());
  PushOpenWindow({dialog, caption, {}, false});
}
void LeaveDialog() {
  std::lock_guard lock(OpenWindowsLock());
  if (!OpenWindows().empty()) OpenWindows().pop_back();
}

// Runs a modal dialog of the console and keeps the open-window list right around it.
INT_PTR RunDialog(WORD template_id, HWND owner, DLGPROC procedure, ConsoleState& state) {
  const INT_PTR result = DialogBoxParam(nullptr, MAKEINTRESOURCE(template_id), owner, procedure,
                                        reinterpret_cast<LPARAM>(&state));
  if (result != -1) LeaveDialog();  // -1: the dialog was never made, so never entered
  return result;
}

ConsoleState& StateOf(HWND dialog) {
  return *reinterpret_cast<ConsoleState*>(GetWindowLongPtr(dialog, DWLP_USER));
}

// Keeps the state for the dialog's procedure and enters the dialog into the open list.
ConsoleState& Attach(HWND dialog, LPARAM lparam, const char* caption) {
  SetWindowLongPtr(dialog, DWLP_USER, lparam);
  EnterDialog(dialog, caption);
  return *reinterpret_cast<ConsoleState*>(lparam);
}

std::string ItemText(HWND dialog, int id, std::size_t max_chars) {
  std::vector<char> buffer(max_chars + 1, '\0');
  GetDlgItemText(dialog, id, buffer.data(), static_cast<int>(buffer.size()));
  return buffer.data();
}

std::string ListText(HWND dialog, int id, int index) {
  const LRESULT length = SendDlgItemMessage(dialog, id, LB_GETTEXTLEN, index, 0);
  if (length <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1, '\0');
  SendDlgItemMessage(dialog, id, LB_GETTEXT, index, reinterpret_cast<LPARAM>(buffer.data()));
  return buffer.data();
}

int ListCount(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessage(dialog, id, LB_GETCOUNT, 0, 0));
}

void Enable(HWND dialog, int id, bool enable) { EnableWindow(GetDlgItem(dialog, id), enable); }

std::string Format(const char* format, const std::string& name) {
  return foundation::StringPrintf(format, name.c_str());
}

// A relative database name is a name in the Notes data directory.
std::string DatabaseFile(const ConsoleState& state, const std::string& name) {
  if (name.empty() || foundation::IsPathSeparator(name.front()) || state.data_directory.empty())
    return name;
  return foundation::JoinPath(state.data_directory, name);
}

bool DatabaseExists(const ConsoleState& state, const std::string& name) {
  return foundation::FileProbe(DatabaseFile(state, name)) == 0;
}

enum class MailTest { kMail, kNotMail, kNoClass, kFailed };

// Opens the database and reads its design class. A database that cannot be opened is
// reported in a box; a failing info read or close only in the log.
MailTest TestMailDatabase(HWND dialog, const ConsoleState& state, const std::string& name,
                          bool log_close) {
  foundation::DbOwner db;
  if (STATUS status = NSFDbOpen(DatabaseFile(state, name).c_str(), db.out())) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFDBOpen Fails in MySubDlg. Reason above");
    ShowMessage(dialog, kOpenFailed, "ERROR!!!", MB_OK | MB_ICONERROR);
    return MailTest::kFailed;
  }
  char info[NSF_INFO_SIZE] = {};
  if (STATUS status = NSFDbInfoGet(db.get(), info)) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFDbInfoGet Fails in MySubDlg. Reason above");
    return MailTest::kFailed;
  }
  char design_class[kDesignClassChars + 1] = {};
  NSFDbInfoParse(info, INFOPARSE_DESIGN_CLASS, design_class, sizeof design_class);
  if (STATUS status = db.Close(); status != NOERROR && log_close) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFDbClose Fails in MySubDlg. Reason above");
    return MailTest::kFailed;
  }
  if (design_class[0] == '\0') return MailTest::kNoClass;
  return IsMailDesignClass(design_class) ? MailTest::kMail : MailTest::kNotMail;
}

// The file-open dialog of "&Browse": mail databases of the data directory. The chosen path,
// or empty when cancelled.
std::string BrowseDatabase(HWND dialog, const ConsoleState& state) {
  char file[MAX_PATH] = {};
  foundation::CopyBounded(file, foundation::JoinPath(state.data_directory, "mail/*.nsf"));
  OPENFILENAME open_file{};
  open_file.lStructSize = sizeof open_file;
  open_file.hwndOwner = dialog;
  open_file.lpstrFilter = "Database\0*.NSF\0";
  open_file.nFilterIndex = 1;
  open_file.lpstrFile = file;
  open_file.nMaxFile = sizeof file;
  open_file.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
  OpenWindowEntry entry({nullptr, "Open", {}, false});
  if (!GetOpenFileName(&open_file)) return {};
  return file;
}

// Completes the typed ID; a valid one becomes the administrator. On a refusal the box is
// shown, the last accepted ID goes back into the edit and the edit takes the focus.
bool AcceptAdminId(HWND dialog, int edit, std::size_t max_chars, ConsoleState& state) {
  const std::string id = CompleteAdminId(ItemText(dialog, edit, max_chars), state.primary_domain);
  if (!IsValidAdminId(id)) {
    ShowMessage(dialog, kInvalidId, "Warning", MB_OK | MB_ICONWARNING);
    SetDlgItemText(dialog, edit, state.admin_id.c_str());
    SetFocus(GetDlgItem(dialog, edit));
    return false;
  }
  state.admin_id = id;
  state.sender_name = SenderName(id);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The Domino directory's server documents: the primary domain list.

struct DomainSearch {
  DBHANDLE db;
  HWND dialog;
};

STATUS AddServerDomain(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto* search = static_cast<DomainSearch*>(context);
  if (!(match->SERetFlags & SE_FMATCH)) return NOERROR;
  foundation::NoteOwner note;
  if (STATUS status = NSFNoteOpen(search->db, match->ID.NoteID, 0, note.out())) {
    LogNotesFailure(status);
    return NOERROR;  // one unreadable server document does not hide the others
  }
  char domain[kServerDomainBytes] = {};
  if (NSFItemGetText(note.get(), "SMTPFullHostDomain", domain, sizeof domain) == 0)
    NSFItemGetText(note.get(), "Domain", domain, sizeof domain);
  if (domain[0] != '\0' &&
      SendDlgItemMessage(search->dialog, kDomainCombo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                         reinterpret_cast<LPARAM>(domain)) == CB_ERR) {
    SendDlgItemMessage(search->dialog, kDomainCombo, CB_ADDSTRING, 0,
                       reinterpret_cast<LPARAM>(domain));
  }
  char build[MAX_PATH] = {};
  if (NSFItemGetText(note.get(), "ServerBuildNumber", build, sizeof build) > 0)
    foundation::WriteProductValue(foundation::kProductSubkey, "ServerBuildNumber", build);
  return NOERROR;
}

void FillDomainList(HWND dialog) {
  foundation::DbOwner names;
  if (STATUS status = NSFDbOpen("names.nsf", names.out())) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFDBOpen Fails for names.nsf. Reason above");
    ShowMessage(dialog, kOpenFailed, "ERROR!!!", MB_OK | MB_ICONERROR);
    return;
  }
  foundation::MemoryOwner formula;
  STATUS compile_error = NOERROR;
  WORD length = 0;
  if (STATUS status = NSFFormulaCompile(nullptr, 0, kServerFormula, 0, formula.out(), &length,
                                        &compile_error, nullptr, nullptr, nullptr, nullptr)) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFFormulaCompile Fails for names.nsf. Reason above");
    return;
  }
  DomainSearch search{names.get(), dialog};
  if (STATUS status = NSFSearch(names.get(), formula.get(), nullptr, 0, NOTE_CLASS_DOCUMENT,
                                nullptr, AddServerDomain, &search, nullptr)) {
    LogNotesFailure(status);
    ConsoleLog("ERROR!!! NSFSearch Fails for names.nsf. Reason above");
    ShowMessage(dialog, kOpenFailed, "ERROR!!!", MB_OK | MB_ICONERROR);
  }
}

// ---------------------------------------------------------------------------------------------
// Setup wizard (119).

void WizardNext(HWND dialog, ConsoleState& state) {
  std::string domain = ItemText(dialog, kDomainCombo, kDomainChars);
  foundation::TrimBoth(domain);
  if (domain.empty()) {
    ShowMessage(dialog, "Primary Domain Name should not be blank", "Information",
                MB_OK | MB_ICONINFORMATION);
    SetFocus(GetDlgItem(dialog, kDomainCombo));
    return;
  }
  state.primary_domain = domain;
  const std::string name = ItemText(dialog, kDatabaseEdit, kDatabaseChars);
  if (name.empty()) return;
  if (!HasDatabaseExtension(name)) {
    ShowMessage(
        dialog,
        Format("%s is NOT valid Database File (3).\nPlease select valid mail Database", name),
        "ERROR", MB_OK | MB_ICONERROR);
    return;
  }
  if (!DatabaseExists(state, name)) return;
  switch (TestMailDatabase(dialog, state, name, false)) {
    case MailTest::kFailed:
      return;
    case MailTest::kNoClass:
      ShowMessage(dialog, Format(kNotMailDatabase4, name), "Warning", MB_OK | MB_ICONWARNING);
      return;
    case MailTest::kNotMail:
      ShowMessage(dialog, Format(kNotMailDatabase3, name), "Warning", MB_OK | MB_ICONWARNING);
      return;
    case MailTest::kMail:
      break;
  }
  if (!AcceptAdminId(dialog, kWizardIdEdit, MAX_PATH - 1, state)) return;
  state.database_name = name;
  state.primary_domain = LowerAscii(domain);
  (void)foundation::WriteIniValue(foundation::kGeneralSection, "PrimaryDomain",
                                  state.primary_domain, state.ini_path);
  SendReloadSignal();
  EndDialog(dialog, IDOK);
}

void WizardBrowse(HWND dialog, ConsoleState& state) {
  const std::string path = BrowseDatabase(dialog, state);
  if (path.empty()) return;
  SetDlgItemText(dialog, kDatabaseEdit, path.c_str());
  Enable(dialog, kWizardIdEdit, true);
  foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB", path);
  std::string domain = ItemText(dialog, kDomainCombo, kDomainChars);
  foundation::TrimBoth(domain);
  const std::string base = DatabaseBaseName(path);
  SetDlgItemText(dialog, kWizardIdEdit, (base + "@" + domain).c_str());
  state.sender_name = base;
  // The proposed ID is what the administrator looks at next.
  SetFocus(GetDlgItem(dialog, kWizardIdEdit));
}

INT_PTR CALLBACK SetupWizardProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      Attach(dialog, lparam, kCaption);
      FillDomainList(dialog);
      SendDlgItemMessage(dialog, kDomainCombo, CB_LIMITTEXT, kDomainChars, 0);
      SendDlgItemMessage(dialog, kDatabaseEdit, EM_LIMITTEXT, kDatabaseChars, 0);
      SendDlgItemMessage(dialog, kWizardIdEdit, EM_LIMITTEXT, MAX_PATH - 1, 0);
      Enable(dialog, kWizardIdEdit, false);
      SetFocus(GetDlgItem(dialog, kDomainCombo));
      return FALSE;
    }
    case WM_COMMAND: {
      ConsoleState& state = StateOf(dialog);
      switch (LOWORD(wparam)) {
        case kNextButton:
          WizardNext(dialog, state);
          return TRUE;
        case kBrowseButton:
          WizardBrowse(dialog, state);
          return TRUE;
        case kDatabaseEdit:
          // A typed name may be a mail database as well as a browsed one: the ID edit opens
          // with it, or the administrator could never give an ID without Browse.
          if (HIWORD(wparam) == EN_CHANGE) {
            Enable(dialog, kNextButton, true);
            Enable(dialog, kWizardIdEdit, true);
          }
          return TRUE;
        case IDCANCEL:
          state.database_name = kCancelledDatabase;
          state.admin_id.clear();
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    }
    case WM_CLOSE: {
      ConsoleState& state = StateOf(dialog);
      state.database_name = kCancelledDatabase;
      state.admin_id.clear();
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

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
      (void)RunDialog(kDatabaseDialog, dialog, DatabaseProc, state);
      if (state.database_name.empty()) {
        if (!IsWindow(dialog)) break;  // the list itself is gone: nothing to ask again for
        continue;
      }
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
  foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB",
                                JoinListEntries(dialog, kAdminDatabaseList));
  const std::string ids = JoinListEntries(dialog, kAdminIdList);
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
  const std::string ids = foundation::ReadIniValue(foundation::kGeneralSection, "AdminEmailId", "",
                                                   state.ini_path, kAdminListChars + 1);
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

// ---------------------------------------------------------------------------------------------
// Templates.

DLGITEMTEMPLATE Button(const char* text, int id, short x, short y, short cx,
                       bool is_default = false) {
  const DWORD style =
      static_cast<DWORD>((is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP);
  return {"BUTTON", text, id, style, x, y, cx, 14};
}
DLGITEMTEMPLATE Label(const char* text, short x, short y, short cx) {
  return {"STATIC", text, IDC_STATIC, SS_LEFT, x, y, cx, 8};
}
DLGITEMTEMPLATE Edit(int id, short x, short y, short cx) {
  return {"EDIT", "", id, ES_AUTOHSCROLL | WS_TABSTOP | WS_BORDER, x, y, cx, 12};
}
DLGITEMTEMPLATE Picture(short x, short y) {
  return {"STATIC", "", IDC_STATIC, kPicture, x, y, 20, 20};
}

}  // namespace

void RegisterConsoleTemplates() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterDialogTemplate(kDatabaseDialog, {kCaption,
                                             kDialogStyle,
                                             240,
                                             80,
                                             kFont,
                                             kFontSize,
                                             {{"BUTTON", "Enter the Administrator Database Name",
                                               IDC_STATIC, BS_GROUPBOX, 6, 6, 228, 40},
                                              Edit(kDatabaseEdit, 12, 20, 150),
                                              Button("&Browse", kBrowseButton, 170, 20, 56),
                                              Button("&OK", IDOK, 110, 56, 56, true),
                                              Button("Cancel", IDCANCEL, 172, 56, 56),
                                              Picture(12, 52)}});
    RegisterDialogTemplate(
        kAdministratorListDialog,
        {kCaption,
         kDialogStyle,
         260,
         160,
         kFont,
         kFontSize,
         {Label("List of Administrator", 6, 6, 170),
          {"LISTBOX", "", kAdminIdList,
           LBS_MULTIPLESEL | LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP | WS_BORDER, 6, 16, 176, 112},
          {"LISTBOX", "", kAdminDatabaseList, LBS_NOTIFY, 6, 130, 8, 8},
          {"BUTTON", "Action", IDC_STATIC, BS_GROUPBOX, 190, 6, 64, 80},
          Button("&Add", kAddButton, 196, 20, 52),
          Button("&Delete", kDeleteButton, 196, 40, 52),
          Button("Delete A&ll", kDeleteAllButton, 196, 60, 52),
          Button("&Save", kSaveButton, 196, 96, 52, true),
          Button("&Cancel", kCancelListButton, 196, 116, 52),
          Picture(210, 136)}});
    RegisterDialogTemplate(
        kSetupWizardDialog,
        {kCaption,
         kDialogStyle,
         250,
         130,
         kFont,
         kFontSize,
         {Label("Select the Primary Domain", 6, 6, 160),
          {"COMBOBOX", "", kDomainCombo,
           CBS_DROPDOWN | CBS_SORT | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 6, 16, 170, 60},
          Label("Enter the Administrator Database Name", 6, 38, 170),
          Edit(kDatabaseEdit, 6, 48, 170),
          Button("&Browse", kBrowseButton, 184, 48, 56),
          Label("Administrator Email ID", 6, 70, 170),
          Edit(kWizardIdEdit, 6, 80, 170),
          Button("&Next >>", kNextButton, 184, 108, 56, true),
          Picture(200, 6)}});
    RegisterDialogTemplate(kConfirmIdDialog,
                           {"Email ID Confirmation",
                            kDialogStyle,
                            220,
                            60,
                            kFont,
                            kFontSize,
                            {Label("Email ID", 6, 8, 40), Edit(kConfirmIdEdit, 48, 6, 164),
                             Button("&OK", kSmallOkButton, 96, 36, 56, true),
                             Button("&Cancel", kSmallCancelButton, 156, 36, 56)}});
    RegisterDialogTemplate(
        kUserTypeDialog,
        {"User Type",
         kDialogStyle,
         160,
         70,
         kFont,
         kFontSize,
         {{"BUTTON", "&Local User", kLocalUserRadio, BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 12,
           10, 100, 10},
          {"BUTTON", "&Internet User", kInternetUserRadio, BS_AUTORADIOBUTTON, 12, 26, 100, 10},
          Button("&OK", kSmallOkButton, 34, 48, 56, true),
          Button("&Cancel", kSmallCancelButton, 96, 48, 56)}});
  });
}

int ShowMessage(HWND owner, const std::string& text, const char* caption, UINT type) {
  std::string line = std::string(caption) + ": " + text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  ConsoleLog(line);
  {
    std::lock_guard lock(OpenWindowsLock());
    if (BoxObserver()) BoxObserver()(caption, text);
  }
  OpenWindowEntry entry({nullptr, caption, text, true});
  return MessageBox(owner, text.c_str(), caption, type);
}

void RunSetupWizard(ConsoleState& state) {
  RegisterConsoleTemplates();
  state.admin_id.clear();
  (void)RunDialog(kSetupWizardDialog, nullptr, SetupWizardProc, state);
}

void RunAdministratorList(ConsoleState& state, const std::function<void()>& save) {
  RegisterConsoleTemplates();
  ListDialog list{&state, &save};
  // The list's procedure finds the state through the ListDialog record; the open-window
  // bookkeeping is the same as for every other dialog.
  if (DialogBoxParam(nullptr, MAKEINTRESOURCE(kAdministratorListDialog), nullptr,
                     AdministratorListProc, reinterpret_cast<LPARAM>(&list)) != -1)
    LeaveDialog();
}

bool TopOpenWindow(OpenWindow& top) {
  std::lock_guard lock(OpenWindowsLock());
  if (OpenWindows().empty()) return false;
  top = OpenWindows().back();
  return true;
}

void SetMessageBoxObserver(std::function<void(const std::string&, const std::string&)> observer) {
  std::lock_guard lock(OpenWindowsLock());
  BoxObserver() = std::move(observer);
}

}  // namespace vtsetup
