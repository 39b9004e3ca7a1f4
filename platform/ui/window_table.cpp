// window_table.cpp - the window table: dialogs made from templates, their controls, the state calls
// (enable, show, focus, window data) and the text and button helpers that go through messages.
//
// Locks: WindowLock() guards the table and the records (window_internal.h); it is released
// before any procedure is called.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/ui/window_internal.h"

int VtWindowMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);  // message_box.cpp

namespace ui {
namespace {

// Window numbers start high so that a small integer (a control id passed by mistake) is never
// a window; they are never reused within a process.
constexpr ULONG_PTR kFirstWindowNumber = 0x10000;

struct Table {
  std::map<ULONG_PTR, std::unique_ptr<Window>> windows;
  std::vector<HWND> top_level;  // dialogs, in creation order: the last visible one is on top
  std::map<DWORD, std::unique_ptr<ThreadQueue>> queues;
  std::map<WORD, DLGTEMPLATE> templates;
  ULONG_PTR next_number = kFirstWindowNumber;
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: threads may outlive static destruction
  return *table;
}

std::atomic<bool> dirty{true};

// Installs the dialog message boxes when a program links the window library.
const bool message_boxes_installed = (VtSetMessageBoxHandler(&VtWindowMessageBox), true);

Kind KindOfClass(const char* window_class) {
  std::string name = window_class ? window_class : "";
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (name == "BUTTON") return Kind::kButton;
  if (name == "EDIT") return Kind::kEdit;
  if (name == "LISTBOX") return Kind::kListBox;
  if (name == "COMBOBOX") return Kind::kComboBox;
  if (name == "MSCTLS_PROGRESS32") return Kind::kProgress;
  return Kind::kStatic;
}

// Releases every sender waiting on a message to one of `gone`, with the result 0.
void FailSendsLocked(const std::vector<HWND>& gone) {
  for (auto& [thread_id, queue] : TheTable().queues) {
    auto& sent = queue->sent;
    for (auto it = sent.begin(); it != sent.end();) {
      if (std::find(gone.begin(), gone.end(), (*it)->hwnd) != gone.end()) {
        (*it)->done = true;
        (*it)->result = 0;
        WakeLocked((*it)->sender);
        it = sent.erase(it);
      } else {
        ++it;
      }
    }
    std::erase_if(queue->posted, [&](const MSG& m) {
      return std::find(gone.begin(), gone.end(), m.hwnd) != gone.end();
    });
    std::erase_if(queue->timers, [&](const Timer& t) {
      return std::find(gone.begin(), gone.end(), t.hwnd) != gone.end();
    });
  }
}

// Removes a dialog and its controls from the table; returns what was removed.
std::vector<HWND> RemoveDialogLocked(HWND dialog) {
  std::vector<HWND> gone;
  Window* window = FindLocked(dialog);
  if (!window) return gone;
  gone = window->children;
  gone.push_back(dialog);
  for (HWND hwnd : gone) TheTable().windows.erase(reinterpret_cast<ULONG_PTR>(hwnd));
  std::erase(TheTable().top_level, dialog);
  FailSendsLocked(gone);
  MarkDirtyLocked();
  return gone;
}

// Destroys, without calling their procedures, the windows of a thread that ends, and fails
// the messages still waiting for it: a thread that is gone can answer nothing.
struct ThreadCleanup {
  bool used = false;
  ~ThreadCleanup() {
    if (!used) return;
    std::lock_guard lock(WindowLock());
    DWORD self = GetCurrentThreadId();
    std::vector<HWND> mine;
    for (HWND hwnd : TheTable().top_level) {
      Window* window = FindLocked(hwnd);
      if (window && window->thread_id == self) mine.push_back(hwnd);
    }
    for (HWND hwnd : mine) (void)RemoveDialogLocked(hwnd);
    auto it = TheTable().queues.find(self);
    if (it == TheTable().queues.end()) return;
    for (auto& message : it->second->sent) {
      message->done = true;
      WakeLocked(message->sender);
    }
    TheTable().queues.erase(it);
  }
};
thread_local ThreadCleanup thread_cleanup;

HWND CreateDialogLocked(const DLGTEMPLATE& dialog, HWND owner, DLGPROC procedure) {
  Table& table = TheTable();
  auto make = [&table](Kind kind) {
    auto window = std::make_unique<Window>();
    window->hwnd = reinterpret_cast<HWND>(table.next_number++);
    window->kind = kind;
    window->thread_id = GetCurrentThreadId();
    HWND hwnd = window->hwnd;
    table.windows.emplace(reinterpret_cast<ULONG_PTR>(hwnd), std::move(window));
    return FindLocked(hwnd);
  };
  Window* frame = make(Kind::kDialog);
  frame->owner = FindLocked(owner) ? owner : nullptr;
  frame->style = dialog.style;
  frame->text = dialog.caption;
  frame->cx = dialog.cx;
  frame->cy = dialog.cy;
  frame->procedure = procedure;
  frame->visible = (dialog.style & WS_VISIBLE) != 0;
  HWND dialog_hwnd = frame->hwnd;
  for (const DLGITEMTEMPLATE& item : dialog.items) {
    Window* control = make(KindOfClass(item.window_class));
    control->parent = dialog_hwnd;
    control->id = item.id;
    control->style = item.style;
    control->text = item.text;
    control->caret = control->text.size();
    control->x = item.x;
    control->y = item.y;
    control->cx = item.cx;
    control->cy = item.cy;
    control->enabled = (item.style & WS_DISABLED) == 0;
    if (control->kind == Kind::kButton && (item.style & BS_TYPEMASK) == BS_GROUPBOX) {
      control->style &= ~static_cast<DWORD>(WS_TABSTOP);  // a group box is never focused
    }
    FindLocked(dialog_hwnd)->children.push_back(control->hwnd);
  }
  table.top_level.push_back(dialog_hwnd);
  thread_cleanup.used = true;
  (void)OwnQueueLocked();
  MarkDirtyLocked();
  return dialog_hwnd;
}

// The first control that takes the focus: the first with WS_TABSTOP, else the first focusable.
HWND FirstFocusLocked(const Window& dialog) {
  HWND fallback = nullptr;
  for (HWND hwnd : dialog.children) {
    Window* control = FindLocked(hwnd);
    if (!control || !Focusable(*control)) continue;
    if (control->style & WS_TABSTOP) return hwnd;
    if (!fallback) fallback = hwnd;
  }
  return fallback;
}

}  // namespace

std::mutex& WindowLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

ThreadQueue::~ThreadQueue() {
  if (wake_fd >= 0) close(wake_fd);
}

Window* FindLocked(HWND hwnd) {
  auto& windows = TheTable().windows;
  auto it = windows.find(reinterpret_cast<ULONG_PTR>(hwnd));
  return it == windows.end() ? nullptr : it->second.get();
}

ThreadQueue* QueueLocked(DWORD thread_id) {
  auto& queues = TheTable().queues;
  auto it = queues.find(thread_id);
  return it == queues.end() ? nullptr : it->second.get();
}

ThreadQueue& OwnQueueLocked() {
  DWORD self = GetCurrentThreadId();
  if (ThreadQueue* queue = QueueLocked(self)) return *queue;
  auto queue = std::make_unique<ThreadQueue>();
  queue->thread_id = self;
  queue->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_cleanup.used = true;
  ThreadQueue& result = *queue;
  TheTable().queues.emplace(self, std::move(queue));
  return result;
}

void WakeLocked(DWORD thread_id) {
  ThreadQueue* queue = QueueLocked(thread_id);
  if (!queue || queue->wake_fd < 0) return;
  uint64_t one = 1;
  (void)!write(queue->wake_fd, &one, sizeof one);
}

void MarkDirtyLocked() {
  dirty.store(true);
  // The thread that draws is the one owning the top dialog; wake it so it redraws.
  auto& top = TheTable().top_level;
  if (!top.empty()) {
    if (Window* window = FindLocked(top.back())) WakeLocked(window->thread_id);
  }
}

bool TakeDirty() { return dirty.exchange(false); }

bool CopyRegisteredTemplate(LPCSTR template_name, DLGTEMPLATE* dialog) {
  std::lock_guard lock(WindowLock());
  auto& templates = TheTable().templates;
  auto it = IS_INTRESOURCE(template_name)
                ? templates.find(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(template_name)))
                : templates.end();
  if (it == templates.end()) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return false;
  }
  *dialog = it->second;
  return true;
}

std::vector<HWND> TopLevelLocked() { return TheTable().top_level; }

bool IsMultipleSelection(const Window& window) {
  return window.kind == Kind::kListBox && (window.style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL));
}

int VisibleRows(const Window& window) {
  if (window.kind == Kind::kComboBox) return 5;
  return std::max(1, window.cy / 8 - 1);  // one row of the height is the list's frame
}

void EnsureVisibleLocked(Window& window, int index) {
  if (index < 0) return;
  int rows = VisibleRows(window);
  if (index < window.top) window.top = index;
  if (index >= window.top + rows) window.top = index - rows + 1;
  window.top = std::max(0, window.top);
}

}  // namespace ui

using ui::FindLocked;
using ui::Kind;
using ui::Window;
using ui::WindowLock;

BOOL RegisterDialogTemplate(WORD id, const DLGTEMPLATE& dialog) {
  for (const DLGITEMTEMPLATE& item : dialog.items) {
    if (!item.window_class) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  std::lock_guard lock(WindowLock());
  ui::TheTable().templates[id] = dialog;
  return TRUE;
}

HWND CreateDialogIndirectParam(HINSTANCE, LPCDLGTEMPLATE dialog, HWND owner, DLGPROC procedure,
                               LPARAM init) {
  if (!dialog) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  for (const DLGITEMTEMPLATE& item : dialog->items) {
    if (!item.window_class) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  ui::StartControlIfAsked();
  HWND hwnd;
  {
    std::lock_guard lock(WindowLock());
    hwnd = ui::CreateDialogLocked(*dialog, owner, procedure);
  }
  // As the dialog manager does: WM_INITDIALOG returning TRUE gives the focus to the first
  // control that takes it; FALSE means the procedure set the focus itself.
  LRESULT focus_default = ui::CallProcedure(hwnd, WM_INITDIALOG, 0, init);
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return nullptr;  // the procedure destroyed it
  if (focus_default || !window->focus) window->focus = ui::FirstFocusLocked(*window);
  ui::MarkDirtyLocked();
  return hwnd;
}

HWND CreateDialogParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init) {
  DLGTEMPLATE dialog;
  if (!ui::CopyRegisteredTemplate(template_name, &dialog)) return nullptr;
  return CreateDialogIndirectParam(instance, &dialog, owner, procedure, init);
}

BOOL DestroyWindow(HWND hwnd) {
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (!window || window->kind != Kind::kDialog) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (window->thread_id != GetCurrentThreadId()) {
      SetLastError(ERROR_ACCESS_DENIED);  // as on Windows: only the owning thread destroys
      return FALSE;
    }
  }
  (void)ui::CallProcedure(hwnd, WM_DESTROY, 0, 0);
  std::lock_guard lock(WindowLock());
  (void)ui::RemoveDialogLocked(hwnd);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  return FindLocked(hwnd) != nullptr;
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window || window->kind != Kind::kDialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  window->ended = true;
  window->result = result;
  window->visible = false;  // hidden at once; the modal loop destroys it
  ui::MarkDirtyLocked();
  // A null message gets the modal loop round to see the end, whichever thread ended it.
  if (ui::ThreadQueue* queue = ui::QueueLocked(window->thread_id)) {
    queue->posted.push_back(MSG{hwnd, WM_NULL, 0, 0, GetTickCount(), {}});
    ui::WakeLocked(window->thread_id);
  }
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(dialog);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (HWND hwnd : window->children) {
    Window* control = FindLocked(hwnd);
    if (control && control->id == id) return hwnd;
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  return window && window->kind != Kind::kDialog ? window->id : 0;
}

HWND GetParent(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return nullptr;
  return window->kind == Kind::kDialog ? window->owner : window->parent;
}

HWND FindWindow(LPCSTR, LPCSTR caption) {
  std::lock_guard lock(WindowLock());
  auto top = ui::TheTable().top_level;
  for (auto it = top.rbegin(); it != top.rend(); ++it) {
    Window* window = FindLocked(*it);
    if (window && window->visible && !window->ended && (!caption || window->text == caption)) {
      return *it;
    }
  }
  return nullptr;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD process_id) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return 0;
  if (process_id) *process_id = GetCurrentProcessId();
  return window->thread_id;
}

BOOL SetWindowText(HWND hwnd, LPCSTR text) {
  return SendMessage(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : "")) ? TRUE
                                                                                      : FALSE;
}

int GetWindowText(HWND hwnd, LPSTR buffer, int size) {
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  return static_cast<int>(
      SendMessage(hwnd, WM_GETTEXT, static_cast<WPARAM>(size), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLength(HWND hwnd) {
  return static_cast<int>(SendMessage(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SetWindowText(control, text) : FALSE;
}

UINT GetDlgItemText(HWND dialog, int id, LPSTR buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(GetWindowText(control, buffer, size)) : 0;
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  char text[16];
  if (is_signed) {
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
  } else {
    std::snprintf(text, sizeof text, "%u", value);
  }
  return SetDlgItemText(dialog, id, text);
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) {
  char text[32];
  if (translated) *translated = FALSE;
  if (GetDlgItemText(dialog, id, text, sizeof text) == 0) return 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  while (end && *end == ' ') ++end;
  if (!end || *end != '\0' || end == text) return 0;
  if (!is_signed && value < 0) return 0;
  if (translated) *translated = TRUE;
  return static_cast<UINT>(value);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND control = GetDlgItem(dialog, id);
  if (!control) return FALSE;
  (void)SendMessage(control, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? static_cast<UINT>(SendMessage(control, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckRadioButton(HWND dialog, int first_id, int last_id, int check_id) {
  for (int id = first_id; id <= last_id; ++id) {
    HWND control = GetDlgItem(dialog, id);
    if (control) (void)SendMessage(control, BM_SETCHECK, id == check_id ? BST_CHECKED : 0, 0);
  }
  return TRUE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return FALSE;
  BOOL was_disabled = window->enabled ? FALSE : TRUE;
  window->enabled = enable != FALSE;
  // A control that loses its enabled state cannot keep the focus.
  if (!window->enabled && window->parent) {
    Window* dialog = FindLocked(window->parent);
    if (dialog && dialog->focus == hwnd) dialog->focus = ui::FirstFocusLocked(*dialog);
  }
  ui::MarkDirtyLocked();
  return was_disabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  return window && window->enabled;
}

BOOL ShowWindow(HWND hwnd, int show) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return FALSE;
  BOOL was_visible = window->visible ? TRUE : FALSE;
  switch (show) {
    case SW_HIDE:
      window->visible = false;
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
      window->visible = true;
      window->minimized = true;
      break;
    default:  // SW_SHOW, SW_SHOWNORMAL, SW_RESTORE
      window->visible = true;
      window->minimized = false;
      break;
  }
  if (window->parent) {
    Window* dialog = FindLocked(window->parent);
    if (dialog && dialog->focus == hwnd && !window->visible) {
      dialog->focus = ui::FirstFocusLocked(*dialog);
    }
  }
  ui::MarkDirtyLocked();
  return was_visible;
}

BOOL IsWindowVisible(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return FALSE;
  if (window->parent) {
    Window* dialog = FindLocked(window->parent);
    return window->visible && dialog && dialog->visible;
  }
  return window->visible;
}

BOOL IsIconic(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  return window && window->minimized;
}

HWND SetFocus(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* control = FindLocked(hwnd);
  Window* dialog = control ? FindLocked(control->parent) : nullptr;
  if (!dialog) return nullptr;
  HWND previous = dialog->focus;
  dialog->focus = hwnd;
  ui::MarkDirtyLocked();
  return previous;
}

HWND GetFocus() {
  std::lock_guard lock(WindowLock());
  DWORD self = GetCurrentThreadId();
  auto top = ui::TheTable().top_level;
  for (auto it = top.rbegin(); it != top.rend(); ++it) {
    Window* window = FindLocked(*it);
    if (window && window->thread_id == self && window->visible && !window->ended) {
      return window->focus;
    }
  }
  return nullptr;
}

BOOL SetForegroundWindow(HWND hwnd) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window || window->kind != Kind::kDialog) return FALSE;
  auto& top = ui::TheTable().top_level;
  std::erase(top, hwnd);
  top.push_back(hwnd);
  ui::MarkDirtyLocked();
  return TRUE;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return 0;
  LONG_PTR* slot = index == DWLP_MSGRESULT ? &window->message_result : &window->user_data;
  if (index != DWLP_MSGRESULT && index != DWLP_USER && index != GWLP_USERDATA) return 0;
  LONG_PTR previous = *slot;
  *slot = value;
  return previous;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  if (!window) return 0;
  if (index == DWLP_MSGRESULT) return window->message_result;
  if (index == DWLP_USER || index == GWLP_USERDATA) return window->user_data;
  return 0;
}

HICON LoadIcon(HINSTANCE, LPCSTR) {
  static int icon;
  return &icon;
}

HWND VtWaitForWindow(LPCSTR caption, DWORD timeout_ms) {
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (HWND hwnd = FindWindow(nullptr, caption)) return hwnd;
    if (GetTickCount64() >= deadline) return nullptr;
    Sleep(5);
  }
}
