// progress_window.cpp - see progress_window.h.
#include "vtsweep/progress_window.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "vtsweep/sweep_log.h"

namespace vtsweep {
namespace {

const DLGTEMPLATE kProgressDialog{
    kWindowTitle,
    DS_CENTER | WS_CAPTION | WS_MINIMIZEBOX,
    280,
    168,
    "MS Sans Serif",
    8,
    {{"STATIC", "Currently Scanning Database", IDC_STATIC, 0, 6, 6, 140, 8},
     {"EDIT", "", kIdDatabase, ES_READONLY | ES_AUTOHSCROLL, 6, 16, 268, 8},
     {"STATIC", "Number of Mail(s) Scanned", IDC_STATIC, 0, 6, 30, 120, 8},
     {"EDIT", "0", kIdCount, ES_READONLY, 130, 30, 60, 8},
     {PROGRESS_CLASS, "", kIdProgress, 0, 6, 42, 268, 8},
     {"STATIC", "Log", IDC_STATIC, 0, 6, 54, 40, 8},
     {"LISTBOX", "", kIdLog, LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP, 6, 64, 268, 72},
     {"BUTTON", "&Exit", kIdExit, BS_DEFPUSHBUTTON | WS_TABSTOP, 6, 144, 56, 8},
     {"BUTTON", "&About", kIdAbout, BS_PUSHBUTTON | WS_TABSTOP, 70, 144, 56, 8},
     {"BUTTON", "&Minimize", kIdMinimize, BS_PUSHBUTTON | WS_TABSTOP, 134, 144, 56, 8}}};

const DLGTEMPLATE kAboutDialog{"About",
                               DS_MODALFRAME | DS_CENTER | WS_CAPTION,
                               180,
                               64,
                               "MS Sans Serif",
                               8,
                               {{"STATIC", kWindowTitle, IDC_STATIC, 0, 8, 8, 164, 8},
                                {"STATIC", "Version :", IDC_STATIC, 0, 8, 24, 40, 8},
                                {"EDIT", "", kIdVersion, ES_READONLY, 52, 24, 120, 8},
                                {"BUTTON", "OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 70, 44, 40, 8}}};

// The one progress window of the process and the run it shows. Set by the main thread
// before the scan thread starts; read by both.
std::atomic<HWND> g_window{nullptr};
std::atomic<DWORD> g_window_thread{0};
SweepRun* g_run = nullptr;
std::atomic<bool> g_user_stop{false};

void AddLogLine(const std::string& line) {
  HWND window = g_window.load();
  if (window == nullptr) return;
  if (SendDlgItemMessage(window, kIdLog, LB_GETCOUNT, 0, 0) > kMaxListLines)
    SendDlgItemMessage(window, kIdLog, LB_RESETCONTENT, 0, 0);
  LRESULT index =
      SendDlgItemMessage(window, kIdLog, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
  if (index >= 0) SendDlgItemMessage(window, kIdLog, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void ShowDatabase(const std::string& path) {
  if (HWND window = g_window.load()) SetDlgItemText(window, kIdDatabase, path.c_str());
}

void ShowCount(int document_number) {
  HWND window = g_window.load();
  if (window == nullptr) return;
  SetDlgItemInt(window, kIdCount, static_cast<UINT>(document_number), FALSE);
  SendDlgItemMessage(window, kIdProgress, PBM_SETPOS, static_cast<WPARAM>(document_number), 0);
}

void SetTotal(int documents) {
  if (HWND window = g_window.load())
    SendDlgItemMessage(window, kIdProgress, PBM_SETRANGE32, 0, documents);
}

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      // The build is read when the box opens, so it shows the installation as it is now.
      SetDlgItemText(dialog, kIdVersion, ReadBuildText().c_str());
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

void Exit(HWND dialog) {
  if (g_run != nullptr && g_run->scanning) {
    if (MessageBox(dialog, "Do you want to stop the scanning?", "Scanning Information",
                   MB_YESNO | MB_ICONQUESTION) != IDYES)
      return;
    WriteLog("User Abort the Scanning", kLogStamped);
    g_user_stop = true;
  }
  PostQuitMessage(0);
}

INT_PTR CALLBACK ProgressProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_CLOSE:
      Exit(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kIdExit:
        case IDCANCEL:
          Exit(dialog);
          return TRUE;
        case kIdMinimize:
          ShowWindow(dialog, SW_MINIMIZE);
          return TRUE;
        case kIdAbout:
          DialogBoxIndirectParam(nullptr, &kAboutDialog, dialog, AboutProcedure, 0);
          return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

HWND CreateProgressWindow(SweepRun& run) {
  g_run = &run;
  HWND window = CreateDialogIndirectParam(nullptr, &kProgressDialog, nullptr, ProgressProcedure, 0);
  if (window == nullptr) return nullptr;
  ShowWindow(window, SW_SHOW);
  g_window_thread = GetCurrentThreadId();
  g_window = window;
  SetWindowLineSink(AddLogLine);
  run.window.show_database = ShowDatabase;
  run.window.show_count = ShowCount;
  run.window.set_total = SetTotal;
  return window;
}

bool RunProgressWindow(HWND window) {
  MSG message;
  while (GetMessage(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessage(window, &message)) {
      TranslateMessage(&message);
      DispatchMessage(&message);
    }
  }
  // The scan thread may still write lines: they go to the file only from here on.
  SetWindowLineSink(nullptr);
  g_window = nullptr;
  DestroyWindow(window);
  return g_user_stop;
}

void EndProgressWindow() {
  const DWORD thread = g_window_thread.load();
  if (thread != 0) PostThreadMessage(thread, WM_QUIT, 0, 0);
}

std::string ClosingText(const RunOutcome& outcome) {
  if (outcome.nothing_selected) {
    return "vtsweep: nothing was scanned: the manual scan settings select no database and\n"
           "  no folder (the document of form \"Mannualfrm\" in vtsched.nsf).\n"
           "  Log: " + outcome.log_path + "\n";
  }
  std::string text;
  if (outcome.stopped_by_user)
    text = "vtsweep: scanning stopped by the user.\n";
  else if (outcome.engine_stopped_answering)
    text = "vtsweep: scanning stopped: the engine stopped answering (" +
           std::to_string(kTimeoutLimit) + " time-outs).\n";
  else
    text = "vtsweep: scanning finished.\n";
  char line[128];
  auto add = [&](const char* label, int value) {
    std::snprintf(line, sizeof line, "  %-36s %d\n", label, value);
    text += line;
  };
  add("Databases scanned:", outcome.databases);
  add("Mail(s) scanned:", outcome.documents);
  add("Mail(s) with a virus (disinfected):", outcome.disinfected);
  if (outcome.unanswered > 0) add("  not answered by the engine:", outcome.unanswered);
  text += "  Log: " + outcome.log_path + "\n";
  return text;
}

}  // namespace vtsweep
