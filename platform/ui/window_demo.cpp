// NAME
//   window_demo - one dialog with every kind of control of the window stand-in
//
// SYNOPSIS
//   window_demo [--lines N] [--headless] [--report FILE]
//
// DESCRIPTION
//   Shows a dialog "Window Demo" with an edit field, a sorted drop-down combo box with an edit
//   field, two radio buttons in a group box, a list box with several selections, a progress
//   bar, a read-only counter and the buttons "&Add", "A&bout", "&Exit" and "Bro&wse". A worker
//   thread adds N log lines (default 40) to a second list, one every 100 ms, sending its messages
//   from outside the window's thread as a scanner does, and moves the progress bar.
//   "&Add" puts the edit's text into the list, "A&bout" opens a modal box, "Bro&wse" opens
//   the open-file dialog on the current directory's *.nsf files and puts the chosen path into
//   the edit, "&Exit" asks "Do you want to leave?" with Yes and No. On a terminal the dialog is
//   drawn with ncurses; with --headless (or VT_WINDOW=headless) nothing is drawn.
//
//   When the dialog ends, the program prints what the controls held, one "name: value" line
//   each, to standard output or to FILE, so a script that drove it by keys can check the
//   outcome (standard output must stay the terminal for the dialog to be drawn).
//
// DIAGNOSTICS
//   Exit status 0 when the dialog ended with Exit and Yes, 1 when it could not be made,
//   2 for a bad argument.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/ui/commdlg.h"

namespace {

constexpr int kName = 100;
constexpr int kDomain = 101;
constexpr int kLocal = 102;
constexpr int kInternet = 103;
constexpr int kPeople = 104;
constexpr int kLog = 105;
constexpr int kProgress = 106;
constexpr int kCount = 107;
constexpr int kAdd = 110;
constexpr int kAbout = 111;
constexpr int kExit = 112;
constexpr int kBrowse = 113;
constexpr int kUserLineAdded = WM_USER + 1;

const DLGTEMPLATE kDemo{
    "Window Demo",
    DS_CENTER | WS_CAPTION | WS_MINIMIZEBOX,
    280,
    168,
    "MS Sans Serif",
    8,
    {{"STATIC", "&Name", IDC_STATIC, 0, 4, 8, 40, 8},
     {"EDIT", "", kName, WS_TABSTOP | ES_AUTOHSCROLL, 48, 8, 92, 8},
     {"STATIC", "&Domain", IDC_STATIC, 0, 4, 24, 40, 8},
     {"COMBOBOX", "", kDomain, CBS_DROPDOWN | CBS_SORT | WS_TABSTOP, 48, 24, 92, 8},
     {"BUTTON", "User Type", IDC_STATIC, BS_GROUPBOX, 148, 0, 124, 32},
     {"BUTTON", "&Local User", kLocal, BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 156, 8, 108, 8},
     {"BUTTON", "&Internet User", kInternet, BS_AUTORADIOBUTTON, 156, 16, 108, 8},
     {"STATIC", "&People", IDC_STATIC, WS_GROUP, 4, 40, 60, 8},
     {"LISTBOX", "", kPeople, LBS_EXTENDEDSEL | LBS_NOTIFY | WS_TABSTOP, 4, 48, 100, 48},
     {"STATIC", "Log", IDC_STATIC, 0, 112, 40, 60, 8},
     {"LISTBOX", "", kLog, WS_TABSTOP, 112, 48, 160, 48},
     {PROGRESS_CLASS, "", kProgress, 0, 4, 104, 200, 8},
     {"STATIC", "Lines:", IDC_STATIC, 0, 208, 104, 28, 8},
     {"EDIT", "0", kCount, ES_READONLY, 236, 104, 36, 8},
     {"BUTTON", "&Add", kAdd, BS_DEFPUSHBUTTON | WS_TABSTOP, 4, 128, 48, 8},
     {"BUTTON", "A&bout", kAbout, BS_PUSHBUTTON | WS_TABSTOP, 60, 128, 48, 8},
     {"BUTTON", "&Exit", kExit, BS_PUSHBUTTON | WS_TABSTOP, 116, 128, 48, 8},
     {"BUTTON", "Bro&wse", kBrowse, BS_PUSHBUTTON | WS_TABSTOP, 172, 128, 48, 8}}};

const DLGTEMPLATE kAboutBox{
    "About",
    DS_MODALFRAME | DS_CENTER | WS_CAPTION,
    160,
    48,
    "MS Sans Serif",
    8,
    {{"STATIC", "Window Demo of the window stand-in", IDC_STATIC, 0, 8, 8, 144, 8},
     {"BUTTON", "OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 60, 24, 40, 8}}};

std::atomic<bool> leaving{false};
int lines_wanted = 40;

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(dialog, IDOK);
    return TRUE;
  }
  return message == WM_INITDIALOG;
}

INT_PTR CALLBACK DemoProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      for (const char* domain : {"veltrane.example", "acme.example", "mail.example"}) {
        SendDlgItemMessage(dialog, kDomain, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(domain));
      }
      CheckRadioButton(dialog, kLocal, kInternet, kLocal);
      SendDlgItemMessage(dialog, kProgress, PBM_SETRANGE32, 0, lines_wanted);
      return TRUE;
    case kUserLineAdded:
      SetDlgItemInt(dialog, kCount, static_cast<UINT>(wparam), FALSE);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kAdd: {
          char name[128];
          GetDlgItemText(dialog, kName, name, sizeof name);
          if (name[0]) {
            SendDlgItemMessage(dialog, kPeople, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
            SetDlgItemText(dialog, kName, "");
          }
          return TRUE;
        }
        case kAbout:
          DialogBoxIndirectParam(nullptr, &kAboutBox, dialog, AboutProcedure, 0);
          return TRUE;
        case kBrowse: {
          char path[MAX_PATH] = "*.nsf";
          OPENFILENAME request{};
          request.lStructSize = sizeof request;
          request.hwndOwner = dialog;
          request.lpstrFilter = "Database\0*.NSF\0";
          request.lpstrFile = path;
          request.nMaxFile = sizeof path;
          request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
          if (GetOpenFileName(&request)) SetDlgItemText(dialog, kName, path);
          return TRUE;
        }
        case kExit:
        case IDCANCEL:
          if (MessageBox(dialog, "Do you want to leave?", "Window Demo",
                         MB_YESNO | MB_ICONQUESTION) == IDYES) {
            PostQuitMessage(0);
          }
          return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// What the controls hold at the end, for the script that drove the dialog.
void Report(HWND dialog, FILE* out) {
  char text[256];
  GetDlgItemText(dialog, kName, text, sizeof text);
  std::fprintf(out, "name: %s\n", text);
  GetDlgItemText(dialog, kDomain, text, sizeof text);
  std::fprintf(out, "domain: %s\n", text);
  std::fprintf(out, "user type: %s\n",
               IsDlgButtonChecked(dialog, kInternet) ? "internet" : "local");
  LRESULT count = SendDlgItemMessage(dialog, kPeople, LB_GETCOUNT, 0, 0);
  std::string people, selected;
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = SendDlgItemMessage(dialog, kPeople, LB_GETTEXTLEN, i, 0);
    std::string entry(static_cast<size_t>(length), '\0');
    SendDlgItemMessage(dialog, kPeople, LB_GETTEXT, i, reinterpret_cast<LPARAM>(entry.data()));
    people += (people.empty() ? "" : ",") + entry;
    if (SendDlgItemMessage(dialog, kPeople, LB_GETSEL, i, 0) > 0) {
      selected += (selected.empty() ? "" : ",") + entry;
    }
  }
  std::fprintf(out, "people: %s\nselected: %s\n", people.c_str(), selected.c_str());
  std::fprintf(out, "log lines: %ld\n",
               static_cast<long>(SendDlgItemMessage(dialog, kLog, LB_GETCOUNT, 0, 0)));
}

}  // namespace

int main(int argc, char** argv) {
  const char* report_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      VtWindowSetMode(VtWindowMode::kHeadless);
    } else if (std::strcmp(argv[i], "--report") == 0 && i + 1 < argc) {
      report_path = argv[++i];
    } else if (std::strcmp(argv[i], "--lines") == 0 && i + 1 < argc) {
      lines_wanted = std::atoi(argv[++i]);
      if (lines_wanted < 0 || lines_wanted > 1000000) return 2;
    } else {
      std::fprintf(stderr, "usage: window_demo [--lines N] [--headless] [--report FILE]\n");
      return 2;
    }
  }
  HWND dialog = CreateDialogIndirectParam(nullptr, &kDemo, nullptr, DemoProcedure, 0);
  if (!dialog) return 1;
  ShowWindow(dialog, SW_SHOW);

  std::thread worker([dialog] {
    for (int n = 1; n <= lines_wanted && !leaving; ++n) {
      std::string line = "log line " + std::to_string(n);
      LRESULT index =
          SendDlgItemMessage(dialog, kLog, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
      SendDlgItemMessage(dialog, kLog, LB_SETCURSEL, index, 0);
      SendDlgItemMessage(dialog, kProgress, PBM_SETPOS, n, 0);
      PostMessage(dialog, kUserLineAdded, n, 0);
      Sleep(100);
    }
  });

  MSG message;
  while (GetMessage(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessage(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessage(&message);
    }
  }
  leaving = true;
  VtWindowShutdown();
  FILE* out = report_path ? std::fopen(report_path, "w") : stdout;
  if (out) {
    Report(dialog, out);
    if (out != stdout) std::fclose(out);
  }
  DestroyWindow(dialog);  // fails the worker's pending send, so the join below cannot hang
  worker.join();
  return 0;
}
