// window_internal.h - the window table, the thread queues and the built-in controls behind
// winuser.h.
//
// What it is for: one record per window (dialog or control) holds everything a control shows:
// its text, its list entries and selections, its check state, its enabled and visible flags.
// The controls' procedures change these records on the owning thread; the terminal draws from
// them; a headless test reads them through messages.
//
// Locks: one mutex, WindowLock(), guards the table, every record and every thread queue. It is
// held only inside this library's functions, never while a dialog procedure runs or while a
// thread waits for messages, so a procedure may call anything here. The terminal has its own
// lock (terminal.cpp), taken after WindowLock() when both are held.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/winuser.h"

namespace ui {

enum class Kind { kDialog, kButton, kEdit, kStatic, kListBox, kComboBox, kProgress };

struct Window {
  HWND hwnd = nullptr;
  Kind kind = Kind::kDialog;
  DWORD thread_id = 0;    // the owning thread: procedures run only there
  HWND parent = nullptr;  // the dialog of a control
  HWND owner = nullptr;   // the owner of a dialog (disabled while a modal dialog runs)
  int id = 0;
  DWORD style = 0;
  std::string text;                    // caption, label, button text or edit text
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  bool enabled = true;
  bool visible = true;
  bool minimized = false;

  // Dialogs.
  DLGPROC procedure = nullptr;
  std::vector<HWND> children;  // in template order, which is also the Tab order
  HWND focus = nullptr;
  bool modal = false;
  bool ended = false;
  INT_PTR result = 0;
  LONG_PTR user_data = 0;
  LONG_PTR message_result = 0;

  // Buttons.
  UINT check = BST_UNCHECKED;

  // Edits and the edit field of a combo box.
  size_t caret = 0;
  size_t limit = 30000;

  // List and combo boxes: entries, their selection flags, the single selection (cursel), the
  // caret entry of a multiple-selection list, the first entry shown.
  std::vector<std::string> items;
  std::vector<bool> selected;
  int cursel = -1;
  int caret_item = 0;
  int top = 0;

  // Progress bars.
  int range_min = 0;
  int range_max = 100;
  int position = 0;
};

struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  LRESULT result = 0;
  bool done = false;
  DWORD sender = 0;  // thread to wake when done
};

struct Timer {
  HWND hwnd = nullptr;
  UINT_PTR id = 0;
  UINT elapse_ms = 0;
  ULONGLONG due_ms = 0;
  TIMERPROC procedure = nullptr;
};

// One per thread that owns windows or waits for messages.
struct ThreadQueue {
  DWORD thread_id = 0;
  int wake_fd = -1;  // an eventfd: written whenever something arrives for this thread
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::vector<Timer> timers;
  bool waiting = false;  // the thread waits for messages with nothing left to take
  bool quit_posted = false;
  int quit_code = 0;
  ~ThreadQueue();
};

std::mutex& WindowLock();

// REQUIRES: WindowLock() held, for all of the following.
Window* FindLocked(HWND hwnd);
ThreadQueue* QueueLocked(DWORD thread_id);  // null if the thread has none
ThreadQueue& OwnQueueLocked();              // created on demand for this thread
void WakeLocked(DWORD thread_id);
void MarkDirtyLocked();              // the terminal redraws soon
std::vector<HWND> TopLevelLocked();  // dialogs in creation order
bool IsMultipleSelection(const Window& window);
bool Focusable(const Window& window);   // enabled, visible, takes the focus
int VisibleRows(const Window& window);  // rows a list shows
void EnsureVisibleLocked(Window& window, int index);

// Runs the procedure of `hwnd` on the calling thread, which must own it: the dialog procedure
// with the default dialog handling, or the built-in control procedure. No lock held.
LRESULT CallProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT ControlProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// A copy of the template registered under the resource number; false when there is none.
bool CopyRegisteredTemplate(LPCSTR template_name, DLGTEMPLATE* dialog);
bool TakeDirty();  // true once after any change a terminal would show
// The dialog navigation of IsDialogMessage for a key message already addressed to `dialog` or
// one of its controls; TRUE when taken.
bool HandleDialogKey(HWND dialog, const MSG& message);
// Sends WM_COMMAND with (id, code) from control `hwnd` to its dialog. No lock held.
void NotifyParent(HWND hwnd, WORD code);

// Starts the listener for a driving script when VT_WINDOW_CONTROL names a socket and the
// windows are headless (control.cpp); once per process. No lock held.
void StartControlIfAsked();

// Terminal display (terminal.cpp). No lock held by the caller.
bool IsDriven();                         // headless boxes wait for a driver (VtWindowSetDriven)
void TerminalRedrawIfDirty(bool force);  // from the thread that pumps the active dialog
bool TerminalReadKey(MSG* message);      // a key for the focused control, if one is waiting
int TerminalInputFd();                   // -1 unless the terminal is in use
void TerminalEnd();

}  // namespace ui
