// window.cpp - placeholder bodies of the dialog calls until the window table lands.
#include "platform/ui/winuser.h"

BOOL RegisterDialogTemplate(WORD id, const DLGTEMPLATE& dialog) { return 0; }
HWND CreateDialogParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init) { return nullptr; }
HWND CreateDialogIndirectParam(HINSTANCE instance, LPCDLGTEMPLATE dialog, HWND owner,
                               DLGPROC procedure, LPARAM init) { return nullptr; }
INT_PTR DialogBoxParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init) { return 0; }
INT_PTR DialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATE dialog, HWND owner,
                               DLGPROC procedure, LPARAM init) { return 0; }
BOOL EndDialog(HWND dialog, INT_PTR result) { return 0; }
BOOL DestroyWindow(HWND window) { return 0; }
BOOL IsWindow(HWND window) { return 0; }
HWND GetDlgItem(HWND dialog, int id) { return nullptr; }
int GetDlgCtrlID(HWND control) { return 0; }
HWND GetParent(HWND window) { return nullptr; }
HWND FindWindow(LPCSTR window_class, LPCSTR caption) { return nullptr; }
DWORD GetWindowThreadProcessId(HWND window, LPDWORD process_id) { return 0; }
BOOL SetWindowText(HWND window, LPCSTR text) { return 0; }
int GetWindowText(HWND window, LPSTR buffer, int size) { return 0; }
int GetWindowTextLength(HWND window) { return 0; }
BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text) { return 0; }
UINT GetDlgItemText(HWND dialog, int id, LPSTR buffer, int size) { return 0; }
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) { return 0; }
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) { return 0; }
BOOL CheckDlgButton(HWND dialog, int id, UINT check) { return 0; }
UINT IsDlgButtonChecked(HWND dialog, int id) { return 0; }
BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id) { return 0; }
BOOL EnableWindow(HWND window, BOOL enable) { return 0; }
BOOL IsWindowEnabled(HWND window) { return 0; }
BOOL ShowWindow(HWND window, int show) { return 0; }
BOOL IsWindowVisible(HWND window) { return 0; }
BOOL IsIconic(HWND window) { return 0; }
HWND SetFocus(HWND control) { return nullptr; }
HWND GetFocus() { return nullptr; }
BOOL SetForegroundWindow(HWND window) { return 0; }
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value) { return 0; }
LONG_PTR GetWindowLongPtr(HWND window, int index) { return 0; }
HICON LoadIcon(HINSTANCE instance, LPCSTR name) { return nullptr; }
LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) { return 0; }
LRESULT SendDlgItemMessage(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) { return 0; }
BOOL PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) { return 0; }
BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) { return 0; }
void PostQuitMessage(int exit_code) {}
BOOL GetMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max) { return 0; }
BOOL PeekMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max, UINT remove) { return 0; }
BOOL IsDialogMessage(HWND dialog, LPMSG message) { return 0; }
BOOL TranslateMessage(const MSG* message) { return 0; }
LRESULT DispatchMessage(const MSG* message) { return 0; }
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure) { return 0; }
BOOL KillTimer(HWND window, UINT_PTR id) { return 0; }
void VtWindowSetMode(VtWindowMode mode) {}
void VtWindowSetDriven(BOOL driven) {}
HWND VtWaitForWindow(LPCSTR caption, DWORD timeout_ms) { return nullptr; }
void VtWindowShutdown() {}
VtWindowMode VtWindowCurrentMode() { return VtWindowMode::kHeadless; }
