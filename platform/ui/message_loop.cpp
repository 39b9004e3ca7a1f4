// message_loop.cpp - sending and posting messages, the thread queues, timers, the message loop,
// the dialog procedures' default handling and modal dialogs.
//
// A message sent to a window of another thread is queued for that thread as a SentMessage and
// the sender waits on its own queue, answering messages sent to it meanwhile (two threads that
// send to each other do not deadlock). The owner takes sent messages first, then posted ones,
// then due timers, then terminal keys, as Windows orders them. Every wait is a poll on the
// thread's eventfd (and on the terminal for the thread that owns the top dialog), with
// WindowLock() released.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/ui/window_internal.h"

namespace ui {
namespace {

// Messages whose parameters point into the sender's memory: they can only be sent, since a
// posted copy would outlive the pointer (Windows refuses them the same way).
bool CarriesPointer(UINT message) {
  switch (message) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case LB_ADDSTRING:
    case LB_INSERTSTRING:
    case LB_GETTEXT:
    case LB_GETSELITEMS:
    case LB_FINDSTRINGEXACT:
    case CB_ADDSTRING:
    case CB_INSERTSTRING:
    case CB_GETLBTEXT:
    case CB_SELECTSTRING:
    case CB_FINDSTRINGEXACT:
      return true;
    default:
      return false;
  }
}

bool MatchesFilter(const MSG& message, HWND window, UINT filter_min, UINT filter_max) {
  if (message.message == WM_QUIT) return true;
  if (filter_min || filter_max) {
    if (message.message < filter_min || message.message > filter_max) return false;
  }
  if (!window) return true;
  if (message.hwnd == window) return true;
  Window* target = FindLocked(message.hwnd);
  return target && target->parent == window;
}

// Answers every message sent to this thread; true if there was one.
bool AnswerSentMessages() {
  bool any = false;
  for (;;) {
    std::shared_ptr<SentMessage> message;
    {
      std::lock_guard lock(WindowLock());
      ThreadQueue& queue = OwnQueueLocked();
      if (queue.sent.empty()) return any;
      message = queue.sent.front();
      queue.sent.pop_front();
    }
    LRESULT result =
        CallProcedure(message->hwnd, message->message, message->wparam, message->lparam);
    std::lock_guard lock(WindowLock());
    message->result = result;
    message->done = true;
    WakeLocked(message->sender);
    any = true;
  }
}

// Waits until something may have arrived for this thread, or timeout_ms (-1: no limit).
void WaitForWake(int timeout_ms) {
  int wake_fd;
  {
    std::lock_guard lock(WindowLock());
    ThreadQueue& queue = OwnQueueLocked();
    wake_fd = queue.wake_fd;
    queue.waiting = queue.posted.empty() && queue.sent.empty();
  }
  pollfd fds[2] = {{wake_fd, POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t count = 1;
  int input_fd = TerminalInputFd();
  if (input_fd >= 0) {
    fds[1].fd = input_fd;
    count = 2;
  }
  (void)poll(fds, count, timeout_ms);
  uint64_t drained;
  (void)!read(wake_fd, &drained, sizeof drained);
  std::lock_guard lock(WindowLock());
  OwnQueueLocked().waiting = false;
}

enum class Take { kNone, kMessage, kQuit };

// Takes the next posted message, quit request or due timer; reports the wait until the next
// timer in *next_timer_ms (-1 when none).
Take TakePosted(LPMSG out, HWND window, UINT filter_min, UINT filter_max, bool remove,
                int* next_timer_ms) {
  std::lock_guard lock(WindowLock());
  ThreadQueue& queue = OwnQueueLocked();
  *next_timer_ms = -1;
  for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
    if (!MatchesFilter(*it, window, filter_min, filter_max)) continue;
    *out = *it;
    if (remove) queue.posted.erase(it);
    return out->message == WM_QUIT ? Take::kQuit : Take::kMessage;
  }
  if (queue.quit_posted) {
    *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quit_code), 0, GetTickCount(), {}};
    if (remove) queue.quit_posted = false;
    return Take::kQuit;
  }
  ULONGLONG now = GetTickCount64();
  for (Timer& timer : queue.timers) {
    if (timer.due_ms <= now) {
      *out = MSG{timer.hwnd,     WM_TIMER, timer.id, reinterpret_cast<LPARAM>(timer.procedure),
                 GetTickCount(), {}};
      if (remove) timer.due_ms = now + timer.elapse_ms;
      return Take::kMessage;
    }
    int wait = static_cast<int>(std::min<ULONGLONG>(timer.due_ms - now, 60000));
    if (*next_timer_ms < 0 || wait < *next_timer_ms) *next_timer_ms = wait;
  }
  return Take::kNone;
}

// One round of the loop without waiting; kNone when nothing is there.
Take PeekOnce(LPMSG out, HWND window, UINT filter_min, UINT filter_max, bool remove,
              int* next_timer_ms) {
  (void)AnswerSentMessages();
  Take taken = TakePosted(out, window, filter_min, filter_max, remove, next_timer_ms);
  if (taken != Take::kNone) return taken;
  TerminalRedrawIfDirty(false);
  if (remove && TerminalReadKey(out)) return Take::kMessage;
  return Take::kNone;
}

// The dialog manager's answer to what a dialog procedure left unhandled.
LRESULT DefaultDialogProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_SETTEXT: {
      std::lock_guard lock(WindowLock());
      Window* window = FindLocked(hwnd);
      if (!window) return FALSE;
      window->text = lparam ? reinterpret_cast<const char*>(lparam) : "";
      MarkDirtyLocked();
      return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
      return ControlProcedure(hwnd, message, wparam, lparam);  // text handling is shared
    case WM_CLOSE: {
      // As DefDlgProc: closing means Cancel, unless a Cancel button is there and disabled.
      HWND cancel = GetDlgItem(hwnd, IDCANCEL);
      if (!cancel || IsWindowEnabled(cancel)) {
        (void)CallProcedure(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                            reinterpret_cast<LPARAM>(cancel));
      }
      return 0;
    }
    case WM_SYSCOMMAND:
      switch (wparam & 0xFFF0) {
        case SC_MINIMIZE:
          (void)ShowWindow(hwnd, SW_MINIMIZE);
          return 0;
        case SC_RESTORE:
          (void)ShowWindow(hwnd, SW_RESTORE);
          return 0;
        case SC_CLOSE:
          return CallProcedure(hwnd, WM_CLOSE, 0, 0);
      }
      return 0;
    default:
      return 0;
  }
}

}  // namespace

LRESULT CallProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  DLGPROC procedure = nullptr;
  bool control = false;
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (!window) return 0;
    control = window->kind != Kind::kDialog;
    procedure = window->procedure;
    window->message_result = 0;
  }
  if (control) return ControlProcedure(hwnd, message, wparam, lparam);
  INT_PTR handled = procedure ? procedure(hwnd, message, wparam, lparam) : FALSE;
  if (!handled) return DefaultDialogProcedure(hwnd, message, wparam, lparam);
  if (message == WM_INITDIALOG) return handled;
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  return window && window->message_result ? window->message_result : handled;
}

void NotifyParent(HWND hwnd, WORD code) {
  HWND parent;
  int id;
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (!window || !window->parent) return;
    parent = window->parent;
    id = window->id;
  }
  (void)CallProcedure(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), code),
                      reinterpret_cast<LPARAM>(hwnd));
}

}  // namespace ui

using ui::FindLocked;
using ui::Window;
using ui::WindowLock;

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto sent = std::make_shared<ui::SentMessage>();
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    DWORD self = GetCurrentThreadId();
    if (window->thread_id != self) {
      ui::ThreadQueue* owner = ui::QueueLocked(window->thread_id);
      if (!owner) return 0;
      (void)ui::OwnQueueLocked();  // the sender is woken through its own queue
      *sent = ui::SentMessage{hwnd, message, wparam, lparam, 0, false, self};
      owner->sent.push_back(sent);
      ui::WakeLocked(window->thread_id);
    } else {
      sent = nullptr;
    }
  }
  if (!sent) return ui::CallProcedure(hwnd, message, wparam, lparam);
  for (;;) {
    (void)ui::AnswerSentMessages();
    {
      std::lock_guard lock(WindowLock());
      if (sent->done) return sent->result;
    }
    ui::WaitForWake(-1);
  }
}

LRESULT SendDlgItemMessage(HWND dialog, int id, UINT message, WPARAM wparam, LPARAM lparam) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SendMessage(control, message, wparam, lparam) : 0;
}

BOOL PostThreadMessage(DWORD thread_id, UINT message, WPARAM wparam, LPARAM lparam) {
  if (ui::CarriesPointer(message)) {
    SetLastError(ERROR_MESSAGE_SYNC_ONLY);
    return FALSE;
  }
  std::lock_guard lock(WindowLock());
  ui::ThreadQueue* queue = ui::QueueLocked(thread_id);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  queue->posted.push_back(MSG{nullptr, message, wparam, lparam, GetTickCount(), {}});
  ui::WakeLocked(thread_id);
  return TRUE;
}

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!hwnd) return PostThreadMessage(GetCurrentThreadId(), message, wparam, lparam);
  if (ui::CarriesPointer(message)) {
    SetLastError(ERROR_MESSAGE_SYNC_ONLY);
    return FALSE;
  }
  std::lock_guard lock(WindowLock());
  Window* window = FindLocked(hwnd);
  ui::ThreadQueue* queue = window ? ui::QueueLocked(window->thread_id) : nullptr;
  if (!queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  queue->posted.push_back(MSG{hwnd, message, wparam, lparam, GetTickCount(), {}});
  ui::WakeLocked(window->thread_id);
  return TRUE;
}

void PostQuitMessage(int exit_code) {
  std::lock_guard lock(WindowLock());
  ui::ThreadQueue& queue = ui::OwnQueueLocked();
  queue.quit_posted = true;
  queue.quit_code = exit_code;
  ui::WakeLocked(queue.thread_id);
}

BOOL GetMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max) {
  if (!message) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  for (;;) {
    int next_timer_ms = -1;
    switch (ui::PeekOnce(message, window, filter_min, filter_max, true, &next_timer_ms)) {
      case ui::Take::kQuit:
        return FALSE;
      case ui::Take::kMessage:
        return TRUE;
      case ui::Take::kNone:
        break;
    }
    ui::TerminalRedrawIfDirty(true);
    ui::WaitForWake(next_timer_ms);
  }
}

BOOL PeekMessage(LPMSG message, HWND window, UINT filter_min, UINT filter_max, UINT remove) {
  if (!message) return FALSE;
  int next_timer_ms = -1;
  return ui::PeekOnce(message, window, filter_min, filter_max, (remove & PM_REMOVE) != 0,
                      &next_timer_ms) != ui::Take::kNone;
}

BOOL IsDialogMessage(HWND dialog, LPMSG message) {
  if (!message || !dialog) return FALSE;
  {
    std::lock_guard lock(WindowLock());
    Window* target = FindLocked(message->hwnd);
    if (!target || (message->hwnd != dialog && target->parent != dialog)) return FALSE;
  }
  if (ui::HandleDialogKey(dialog, *message)) return TRUE;
  (void)DispatchMessage(message);
  return TRUE;
}

BOOL TranslateMessage(const MSG*) {
  return FALSE;  // the terminal delivers characters as WM_CHAR already
}

LRESULT DispatchMessage(const MSG* message) {
  if (!message) return 0;
  if (message->message == WM_TIMER && message->lParam) {
    auto procedure = reinterpret_cast<TIMERPROC>(message->lParam);
    procedure(message->hwnd, WM_TIMER, message->wParam, GetTickCount());
    return 0;
  }
  if (!message->hwnd) return 0;
  return ui::CallProcedure(message->hwnd, message->message, message->wParam, message->lParam);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse_ms, TIMERPROC procedure) {
  std::lock_guard lock(WindowLock());
  ui::ThreadQueue* queue;
  if (hwnd) {
    Window* window = FindLocked(hwnd);
    if (!window) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    queue = ui::QueueLocked(window->thread_id);
  } else {
    queue = &ui::OwnQueueLocked();
    static UINT_PTR next_thread_timer = 0x7000;
    id = ++next_thread_timer;
  }
  if (!queue) return 0;
  elapse_ms = std::max<UINT>(elapse_ms, 10);  // USER_TIMER_MINIMUM
  std::erase_if(queue->timers,
                [&](const ui::Timer& timer) { return timer.hwnd == hwnd && timer.id == id; });
  queue->timers.push_back(ui::Timer{hwnd, id, elapse_ms, GetTickCount64() + elapse_ms, procedure});
  ui::WakeLocked(queue->thread_id);
  return hwnd ? (id ? id : 1) : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  std::lock_guard lock(WindowLock());
  bool found = false;
  DWORD thread_id = GetCurrentThreadId();
  if (hwnd) {
    Window* window = FindLocked(hwnd);
    if (window) thread_id = window->thread_id;
  }
  if (ui::ThreadQueue* queue = ui::QueueLocked(thread_id)) {
    found = std::erase_if(queue->timers, [&](const ui::Timer& timer) {
              return timer.hwnd == hwnd && timer.id == id;
            }) > 0;
  }
  return found ? TRUE : FALSE;
}

INT_PTR DialogBoxIndirectParam(HINSTANCE instance, LPCDLGTEMPLATE dialog, HWND owner,
                               DLGPROC procedure, LPARAM init) {
  // The owner is the top-level dialog even when a control was named.
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(owner);
    if (!window) owner = nullptr;
    if (window && window->parent) owner = window->parent;
  }
  bool owner_was_enabled = owner && IsWindowEnabled(owner);
  if (owner_was_enabled) (void)EnableWindow(owner, FALSE);
  HWND hwnd = CreateDialogIndirectParam(instance, dialog, owner, procedure, init);
  if (!hwnd) {
    if (owner_was_enabled) (void)EnableWindow(owner, TRUE);
    return -1;
  }
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (window) {
      window->modal = true;
      if (!window->ended) window->visible = true;
      ui::MarkDirtyLocked();
    }
  }
  bool quit = false;
  WPARAM quit_code = 0;
  INT_PTR result = 0;
  for (;;) {
    {
      std::lock_guard lock(WindowLock());
      Window* window = FindLocked(hwnd);
      if (!window) break;
      if (window->ended) {
        result = window->result;
        break;
      }
    }
    MSG message;
    BOOL got = GetMessage(&message, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quit_code = message.wParam;
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessage(hwnd, &message)) (void)DispatchMessage(&message);
  }
  if (owner_was_enabled) (void)EnableWindow(owner, TRUE);
  if (IsWindow(hwnd)) (void)DestroyWindow(hwnd);
  if (owner) (void)SetForegroundWindow(owner);
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
  return result;
}

BOOL VtWindowWaitIdle(HWND hwnd, DWORD timeout_ms) {
  ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    {
      std::lock_guard lock(WindowLock());
      Window* window = FindLocked(hwnd);
      if (!window) return FALSE;
      ui::ThreadQueue* queue = ui::QueueLocked(window->thread_id);
      if (!queue) return FALSE;
      if (queue->waiting && queue->posted.empty() && queue->sent.empty()) return TRUE;
    }
    if (GetTickCount64() >= deadline) return FALSE;
    Sleep(1);
  }
}

INT_PTR DialogBoxParam(HINSTANCE instance, LPCSTR template_name, HWND owner, DLGPROC procedure,
                       LPARAM init) {
  DLGTEMPLATE dialog;
  if (!ui::CopyRegisteredTemplate(template_name, &dialog)) return -1;
  return DialogBoxIndirectParam(instance, &dialog, owner, procedure, init);
}
