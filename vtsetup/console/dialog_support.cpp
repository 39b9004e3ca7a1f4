// dialog_support.cpp - the open-window list, control reading, the mail database test, the
// ID check, message boxes and the dialog templates.
#include "vtsetup/console/dialog_support.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "foundation/notes_handles.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "platform/ui/commdlg.h"
#include "vtsetup/console/admin_id.h"
#include "vtsetup/console/console.h"

namespace vtsetup {

namespace {

constexpr const char* kFont = "MS Sans Serif";
constexpr WORD kFontSize = 8;
constexpr DWORD kDialogStyle = DS_CENTER | DS_MODALFRAME | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kPicture = SS_ICON;
constexpr const char* kInvalidId = "Email ID is not valid. Enter a valid Email ID";

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

// Template pieces.

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

void LeaveDialog() {
  std::lock_guard lock(OpenWindowsLock());
  if (!OpenWindows().empty()) OpenWindows().pop_back();
}

INT_PTR RunDialog(WORD template_id, HWND owner, DLGPROC procedure, ConsoleState& state) {
  const INT_PTR result = DialogBoxParam(nullptr, MAKEINTRESOURCE(template_id), owner, procedure,
                                        reinterpret_cast<LPARAM>(&state));
  if (result != -1) LeaveDialog();  // -1: the dialog was never made, so never entered
  return result;
}

ConsoleState& StateOf(HWND dialog) {
  return *reinterpret_cast<ConsoleState*>(GetWindowLongPtr(dialog, DWLP_USER));
}

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
static std::string DatabaseFile(const ConsoleState& state, const std::string& name) {
  if (name.empty() || foundation::IsPathSeparator(name.front()) || state.data_directory.empty())
    return name;
  return foundation::JoinPath(state.data_directory, name);
}

bool DatabaseExists(const ConsoleState& state, const std::string& name) {
  return foundation::FileProbe(DatabaseFile(state, name)) == 0;
}

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

bool RefuseCommaInPath(HWND dialog, const std::string& name) {
  if (name.find(',') == std::string::npos) return false;
  ShowMessage(dialog,
              Format("%s has a comma in its path.\nThe list of administrator databases is "
                     "separated by commas: please select a Database whose path has none",
                     name),
              "ERROR", MB_OK | MB_ICONERROR);
  return true;
}

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
