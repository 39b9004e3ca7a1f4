// setup_wizard.cpp - the setup wizard (119): primary domain, mail database, administrator.
#include <string>

#include "foundation/config.h"
#include "foundation/notes_handles.h"
#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "vtsetup/console/admin_id.h"
#include "vtsetup/console/console.h"
#include "vtsetup/console/dialog_support.h"

namespace vtsetup {

namespace {

// A server document's Internet domain is cut to this many characters.
constexpr WORD kServerDomainBytes = 32;
constexpr const char* kServerFormula = "SELECT form = \"Server\"";
constexpr const char* kNotMailDatabase4 =
    "%s is Not a Mail Database (4).\n Please Select Valid Mail Database";
constexpr const char* kNotMailDatabase3 =
    "%s is Not a Mail Database (3).\nPlease Select Valid Mail Database";

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
  if (RefuseCommaInPath(dialog, name)) return;
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
  // The database and the administrator are written, and a running extension told to reload,
  // by the final settings step once the wizard closed.
  EndDialog(dialog, IDOK);
}

void WizardBrowse(HWND dialog, ConsoleState& state) {
  const std::string path = BrowseDatabase(dialog, state);
  if (path.empty()) return;
  SetDlgItemText(dialog, kDatabaseEdit, path.c_str());
  Enable(dialog, kWizardIdEdit, true);
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

}  // namespace

void RunSetupWizard(ConsoleState& state) {
  RegisterConsoleTemplates();
  state.admin_id.clear();
  (void)RunDialog(kSetupWizardDialog, nullptr, SetupWizardProc, state);
}

}  // namespace vtsetup
