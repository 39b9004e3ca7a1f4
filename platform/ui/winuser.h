// winuser.h - dialog windows, their controls and the message loop, carried out on POSIX.
//
// What it is for: the system's programs with a window (the database scanner's progress window,
// the configuration console's dialogs) are written against the Win32 dialog calls: a dialog is
// made from a template of controls with identifiers, one dialog procedure answers its
// messages, other threads talk to it with SendMessage and PostMessage, and the owning thread
// runs GetMessage / IsDialogMessage / DispatchMessage. This header declares those calls with
// their Win32 names, signatures and constants (ANSI forms without the A suffix).
//
// Two ways to show the same windows (chosen once per process, see VtWindowMode below):
//   terminal  - drawn with ncurses on the controlling terminal; Tab and Shift-Tab move between
//               controls, Enter presses the default button, Esc presses Cancel (IDCANCEL),
//               Space presses a button or toggles a list entry, arrows move in lists, combo
//               boxes and radio groups, printable keys type into edits.
//   headless  - nothing is drawn; a test drives the windows with the calls a program would
//               use: SendMessage(BM_CLICK), GetDlgItemText,
//               SendDlgItemMessage(LB_GETCOUNT), FindWindow to find a message box and
//               BM_CLICK on its IDYES button. A script in another process drives a
//               headless program through the socket named by VT_WINDOW_CONTROL (line
//               commands: wait, click, type, key, text, count, item, select...; see
//               control.cpp and window_control.py).
//
// Templates: a dialog template is a DLGTEMPLATE record in memory (not the binary resource
// layout of Windows): caption, style, size and a list of DLGITEMTEMPLATE controls with their
// class ("BUTTON", "EDIT", "STATIC", "LISTBOX", "COMBOBOX", PROGRESS_CLASS), text, identifier,
// style and position. Positions and sizes are in dialog units, and the terminal maps them to
// character cells as Windows does for its system font: 4 units across and 8 down per cell.
// A program registers its templates under resource numbers with RegisterDialogTemplate, so
// CreateDialogParam(instance, MAKEINTRESOURCE(101), ...) finds template 101.
//
// Ownership: HWNDs are numbers in the window table, never pointers; a stale or made-up HWND
// fails (IsWindow FALSE, SendMessage 0). A dialog belongs to the thread that created it and
// lives until DestroyWindow (modeless) or until DialogBoxParam returns (modal); destroying a
// dialog destroys its controls. Templates are copied when registered or created.
//
// Threads: every call may be made from any thread. A message sent to a window of another
// thread waits until that thread takes it in GetMessage, a modal loop or another SendMessage
// wait, as on Windows; a message posted is queued. Dialog procedures run only on the owning
// thread, never with a lock of this library held, so they may call any function here. If the
// window is destroyed while a sender waits, the sender gets 0.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/windows.h"

// ---------------------------------------------------------------------------------------------
// Types.

using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using ATOM = WORD;
using HICON = void*;
using HMENU = void*;
using HFONT = void*;
using HBRUSH = void*;
using HDC = void*;
using COLORREF = DWORD;

using DLGPROC = INT_PTR(CALLBACK*)(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
using TIMERPROC = void(CALLBACK*)(HWND window, UINT message, UINT_PTR id, DWORD time);

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

#define MAKEINTRESOURCE(i) (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))

// Error codes of the window calls (winerror.h values).
#define ERROR_MESSAGE_SYNC_ONLY 1159L  // posting a message that carries a pointer
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

// ---------------------------------------------------------------------------------------------
// Styles.

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L

#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L
#define DS_CENTER 0x0800L

#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BS_CHECKBOX 0x00000002L
#define BS_AUTOCHECKBOX 0x00000003L
#define BS_RADIOBUTTON 0x00000004L
#define BS_GROUPBOX 0x00000007L
#define BS_AUTORADIOBUTTON 0x00000009L
#define BS_TYPEMASK 0x0000000FL

#define ES_LEFT 0x0000L
#define ES_MULTILINE 0x0004L
#define ES_PASSWORD 0x0020L
#define ES_AUTOHSCROLL 0x0080L
#define ES_READONLY 0x0800L

#define SS_LEFT 0x00000000L
#define SS_CENTER 0x00000001L
#define SS_ICON 0x00000003L
#define SS_BITMAP 0x0000000EL

#define LBS_NOTIFY 0x0001L
#define LBS_SORT 0x0002L
#define LBS_MULTIPLESEL 0x0008L
#define LBS_NOINTEGRALHEIGHT 0x0100L
#define LBS_EXTENDEDSEL 0x0800L

#define CBS_SIMPLE 0x0001L
#define CBS_DROPDOWN 0x0002L
#define CBS_DROPDOWNLIST 0x0003L
#define CBS_AUTOHSCROLL 0x0040L
#define CBS_SORT 0x0100L

#define PROGRESS_CLASS "msctls_progress32"

// ---------------------------------------------------------------------------------------------
// Templates.

struct DLGITEMTEMPLATE {
  const char* window_class;  // "BUTTON", "EDIT", "STATIC", "LISTBOX", "COMBOBOX", PROGRESS_CLASS
  std::string text;          // label, button text or initial edit text
  int id;                    // control identifier; -1 (IDC_STATIC) for labels that need none
  // WS_* and the class's styles. Controls are shown without WS_VISIBLE; one that starts hidden
  // is hidden with ShowWindow(SW_HIDE) in WM_INITDIALOG.
  DWORD style;
  short x, y, cx, cy;  // dialog units
};

struct DLGTEMPLATE {
  std::string caption;
  DWORD style;       // DS_* | WS_*
  short cx, cy;      // dialog units
  std::string font;  // kept for the record ("MS Sans Serif"); the terminal has one font
  WORD point_size;
  std::vector<DLGITEMTEMPLATE> items;
};
using LPCDLGTEMPLATE = const DLGTEMPLATE*;

#define IDC_STATIC (-1)

// Registers `dialog` under resource number `id` (replacing an earlier one); FALSE when the
// template is unusable (no items, or an item without a class). The template is copied.
BOOL RegisterDialogTemplate(WORD id, const DLGTEMPLATE& dialog);

// ---------------------------------------------------------------------------------------------
// Messages.

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_SIZE 0x0005
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SHOWWINDOW 0x0018
#define WM_SETICON 0x0080
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSCHAR 0x0106  // Alt and a letter: the mnemonic of a control
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define SC_MINIMIZE 0xF020
#define SC_CLOSE 0xF060
#define SC_RESTORE 0xF120

// Dialog results and standard identifiers.
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDNO 7

// Virtual keys (WM_KEYDOWN wParam). Printable characters arrive as WM_CHAR.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_DELETE 0x2E
// WM_KEYDOWN lParam bit the terminal sets for Shift-Tab (the stand-in has no key state table).
#define VT_KEY_SHIFTED 0x01000000L

// Buttons.
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BN_CLICKED 0

// Edits.
#define EM_LIMITTEXT 0x00C5
#define EM_SETLIMITTEXT EM_LIMITTEXT
#define EM_SETREADONLY 0x00CF
#define EN_SETFOCUS 0x0100
#define EN_KILLFOCUS 0x0200
#define EN_CHANGE 0x0300

// List boxes. LB_GETSELITEMS: wParam the room in the array at lParam (int*).
#define LB_ADDSTRING 0x0180
#define LB_INSERTSTRING 0x0181
#define LB_DELETESTRING 0x0182
#define LB_RESETCONTENT 0x0184
#define LB_SETSEL 0x0185
#define LB_SETCURSEL 0x0186
#define LB_GETSEL 0x0187
#define LB_GETCURSEL 0x0188
#define LB_GETTEXT 0x0189
#define LB_GETTEXTLEN 0x018A
#define LB_GETCOUNT 0x018B
#define LB_GETTOPINDEX 0x018E
#define LB_FINDSTRINGEXACT 0x01A2
#define LB_GETSELCOUNT 0x0190
#define LB_GETSELITEMS 0x0191
#define LB_SETTOPINDEX 0x0197
#define LB_ERR (-1)
#define LBN_SELCHANGE 1
#define LBN_DBLCLK 2

// Combo boxes.
#define CB_GETEDITSEL 0x0140
#define CB_LIMITTEXT 0x0141
#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_INSERTSTRING 0x014A
#define CB_RESETCONTENT 0x014B
#define CB_SELECTSTRING 0x014D
#define CB_SETCURSEL 0x014E
#define CB_FINDSTRINGEXACT 0x0158
#define CB_ERR (-1)
#define CBN_SELCHANGE 1
#define CBN_EDITCHANGE 5

// Progress bars.
#define PBM_SETPOS 0x0402
#define PBM_GETPOS 0x0408
#define PBM_SETRANGE32 0x0406

// Show states beyond windows.h.
#define SW_MINIMIZE 6
#define SW_RESTORE 9

// Window data.
#define GWLP_USERDATA (-21)
#define DWLP_MSGRESULT 0
#define DWLP_USER 16

// Message boxes beyond windows.h.
#define MB_YESNOCANCEL 0x00000003L
#define MB_RETRYCANCEL 0x00000005L
#define MB_DEFBUTTON2 0x00000100L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
// Identifier of the text of a message box (a STATIC control); its buttons carry IDOK, IDYES...
#define VT_MESSAGE_BOX_TEXT 0xFFFF

// ---------------------------------------------------------------------------------------------
// Dialogs.

// Modeless: creates the dialog (visible when the template says WS_VISIBLE, or after
// ShowWindow), sends WM_INITDIALOG with `init` and returns; NULL when the template is unknown.
HWND CreateDialogParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init);
HWND CreateDialogIndirectParam(HINSTANCE instance, LPCDLGTEMPLATE dialog, HWND owner,
                               DLGPROC procedure, LPARAM init);
// Modal: creates the dialog, disables the owner, runs a message loop until EndDialog and
// returns EndDialog's result; -1 when the dialog could not be made. A WM_QUIT taken by the
// loop ends the dialog with 0 and is posted again for the outer loop, as on Windows.
INT_PTR DialogBoxParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init);
INT_PTR DialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATE dialog, HWND owner,
                               DLGPROC procedure, LPARAM init);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

// ---------------------------------------------------------------------------------------------
// Controls and windows.

HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
HWND GetParent(HWND window);
// The first visible top-level dialog whose caption equals `caption` (class ignored); NULL if none.
HWND FindWindow(LPCSTR window_class, LPCSTR caption);
DWORD GetWindowThreadProcessId(HWND window, LPDWORD process_id);

BOOL SetWindowText(HWND window, LPCSTR text);
int GetWindowText(HWND window, LPSTR buffer, int size);
int GetWindowTextLength(HWND window);
BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemText(HWND dialog, int id, LPSTR buffer, int size);
BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed);

BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id);

BOOL EnableWindow(HWND window, BOOL enable);  // the previous state: TRUE if it was disabled
BOOL IsWindowEnabled(HWND window);
BOOL ShowWindow(HWND window, int show);  // TRUE if it was visible
BOOL IsWindowVisible(HWND window);
BOOL IsIconic(HWND window);
HWND SetFocus(HWND control);
HWND GetFocus();  // the focused control of this thread's dialogs
BOOL SetForegroundWindow(HWND window);
LONG_PTR SetWindowLongPtr(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtr(HWND window, int index);
HICON LoadIcon(HINSTANCE instance, LPCSTR name);  // a placeholder: the terminal has no icons

// ---------------------------------------------------------------------------------------------
// Messages and the loop.

LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendDlgItemMessage(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam);
// Posting a message whose parameters point into the caller's memory (WM_SETTEXT, LB_ADDSTRING,
// ...) fails with ERROR_MESSAGE_SYNC_ONLY: the pointer would not outlive the call.
BOOL PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
// Waits for the next message of this thread (sent messages are handled inside the wait,
// timers come due, terminal keys arrive as WM_KEYDOWN/WM_CHAR for the focused control).
// 0 for WM_QUIT, -1 for a bad call, else TRUE.
BOOL GetMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max);
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
BOOL PeekMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max, UINT remove);
// Takes every message for `dialog` or its controls, as on Windows: the dialog keys (Tab,
// Shift-Tab, Enter, Esc, arrows in a group of buttons, Alt and a mnemonic letter) it handles
// itself, the rest it dispatches. FALSE for another window's message, which the loop then
// dispatches.
BOOL IsDialogMessage(HWND dialog, LPMSG message);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessage(const MSG* message);

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure);
BOOL KillTimer(HWND window, UINT_PTR id);

// ---------------------------------------------------------------------------------------------
// Desktop settings. The foreground lock time-out is kept per process (this platform has no
// desktop to hand the foreground to); AllowSetForegroundWindow is accepted.

#define SPI_GETFOREGROUNDLOCKTIMEOUT 0x2000
#define SPI_SETFOREGROUNDLOCKTIMEOUT 0x2001
#define SPIF_UPDATEINIFILE 0x0001
#define SPIF_SENDCHANGE 0x0002
#define ASFW_ANY (static_cast<DWORD>(-1))
BOOL SystemParametersInfo(UINT action, UINT uint_param, PVOID pv_param, UINT win_ini);
BOOL AllowSetForegroundWindow(DWORD process_id);

// ---------------------------------------------------------------------------------------------
// The stand-in's own calls (not Win32).

enum class VtWindowMode { kAuto, kTerminal, kHeadless };

// Chooses how windows are shown; call before the first window (ignored while the terminal
// display is in use). kAuto: headless when the environment variable VT_WINDOW is "headless",
// standard input or output is not a terminal, or the program is not in the terminal's
// foreground; else terminal. Programs need not call it.
void VtWindowSetMode(VtWindowMode mode);
[[nodiscard]] VtWindowMode VtWindowCurrentMode();  // kTerminal or kHeadless once decided

// Headless message boxes: answered by whoever drives the windows (BM_CLICK on the box's
// button). Until a driver says it is there, a box is written to standard error and answered
// at once with its first button, so unattended runs do not hang. Tests call this.
void VtWindowSetDriven(BOOL driven);

// Waits until a visible top-level dialog with this caption exists; NULL after timeout_ms.
HWND VtWaitForWindow(LPCSTR caption, DWORD timeout_ms);

// Waits until the thread owning `window` has handled everything posted or sent to it and waits
// for more; FALSE after timeout_ms. Posted messages come after sent ones, so a test that
// posts keys and then reads a field waits here first.
BOOL VtWindowWaitIdle(HWND window, DWORD timeout_ms);

// Ends the terminal display (curses) if it was started; windows stay usable headless. Called
// at exit on its own; a program that prints to the terminal afterwards may call it earlier.
void VtWindowShutdown();
