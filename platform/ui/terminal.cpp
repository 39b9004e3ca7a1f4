// terminal.cpp - the choice between terminal and headless, and the terminal display: dialogs
// drawn with ncurses, keys read from the terminal and handed to the message loop.
//
// Only the thread that owns the top dialog draws and reads keys, from inside its message loop;
// ncurses is not thread-safe, so every curses call is made under TerminalLock(), which is
// taken after WindowLock() is let go (the drawing works on a copy of the records).
#include <curses.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/window_internal.h"

namespace ui {
namespace {

std::atomic<int> chosen_mode{static_cast<int>(VtWindowMode::kAuto)};
std::atomic<bool> driven{false};
std::atomic<bool> curses_started{false};
std::atomic<bool> curses_failed{false};

std::mutex& TerminalLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

VtWindowMode DecidedMode() {
  int mode = chosen_mode.load();
  if (mode != static_cast<int>(VtWindowMode::kAuto)) return static_cast<VtWindowMode>(mode);
  const char* asked = std::getenv("VT_WINDOW");
  // A program in the background of a terminal (a scan the schedule runner started from a
  // server run with '&') would be stopped by the terminal the moment it drew: headless.
  bool headless = (asked && std::strcmp(asked, "headless") == 0) || !isatty(STDIN_FILENO) ||
                  !isatty(STDOUT_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp();
  int decided = static_cast<int>(headless ? VtWindowMode::kHeadless : VtWindowMode::kTerminal);
  int expected = static_cast<int>(VtWindowMode::kAuto);
  chosen_mode.compare_exchange_strong(expected, decided);
  return static_cast<VtWindowMode>(chosen_mode.load());
}

// The dialog on top (the last visible one) and whether the calling thread owns it.
HWND TopDialog(bool* mine) {
  std::lock_guard lock(WindowLock());
  std::vector<HWND> top = TopLevelLocked();
  for (auto it = top.rbegin(); it != top.rend(); ++it) {
    Window* window = FindLocked(*it);
    if (window && window->visible && !window->ended) {
      *mine = window->thread_id == GetCurrentThreadId();
      return *it;
    }
  }
  *mine = false;
  return nullptr;
}

// The terminal's settings before curses changed them, for the signal handler below.
struct termios saved_terminal;
bool terminal_saved = false;

// A program stopped by Ctrl-C or killed while its dialog is shown would leave the terminal
// without echo and on the alternate screen. Only async-signal-safe calls here: the saved
// settings back, the screen and cursor back, then the signal's default action.
void RestoreTerminalAndDie(int signal_number) {
  if (terminal_saved) (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
  static const char kLeaveScreen[] = "\x1b[?1049l\x1b[?25h\r\n";
  (void)!write(STDOUT_FILENO, kLeaveScreen, sizeof kLeaveScreen - 1);
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

// Installs the handler for the signals whose action is still the default; a program that
// handles them itself keeps its own handler.
void GuardTerminalAgainstSignals() {
  terminal_saved = tcgetattr(STDIN_FILENO, &saved_terminal) == 0;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL) continue;
    struct sigaction guard {};
    guard.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&guard.sa_mask);
    (void)sigaction(signal_number, &guard, nullptr);
  }
}

bool StartCursesLocked() {
  if (curses_started) return true;
  if (curses_failed) return false;
  GuardTerminalAgainstSignals();
  SCREEN* screen = newterm(nullptr, stdout, stdin);
  if (!screen) {
    curses_failed = true;
    chosen_mode = static_cast<int>(VtWindowMode::kHeadless);
    return false;
  }
  set_term(screen);
  cbreak();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  set_escdelay(25);
  curs_set(0);
  curses_started = true;
  std::atexit([] { VtWindowShutdown(); });
  return true;
}

// ---------------------------------------------------------------------------------------------
// Drawing.

struct Box {
  int top, left, height, width;
};

// Writes text at (row, col), cut at the box's right edge and the screen's.
void Put(const Box& clip, int row, int col, const std::string& text, attr_t attributes,
         int max_width) {
  if (row < clip.top || row >= clip.top + clip.height || row >= LINES) return;
  if (row < 0 || max_width <= 0) return;
  int right = std::min({clip.left + clip.width, COLS, col + max_width});
  int skip = std::max({0, clip.left - col, -col});
  if (col + skip >= right || skip >= static_cast<int>(text.size())) return;
  std::string shown = text.substr(skip, static_cast<size_t>(right - (col + skip)));
  attron(attributes);
  mvaddnstr(row, col + skip, shown.c_str(), static_cast<int>(shown.size()));
  attroff(attributes);
}

// A label without its '&' marks; *mnemonic is the position of the marked letter or -1.
std::string Label(const std::string& text, int* mnemonic) {
  std::string shown;
  *mnemonic = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) {
      if (text[i + 1] != '&' && *mnemonic < 0) *mnemonic = static_cast<int>(shown.size());
      ++i;
    }
    shown += text[i];
  }
  return shown;
}

void PutLabel(const Box& clip, int row, int col, const std::string& text, attr_t attributes,
              int max_width) {
  int mnemonic;
  std::string shown = Label(text, &mnemonic);
  Put(clip, row, col, shown, attributes, max_width);
  if (mnemonic >= 0 && mnemonic < max_width) {
    Put(clip, row, col + mnemonic, shown.substr(mnemonic, 1), attributes | A_UNDERLINE, 1);
  }
}

void Frame(const Box& box, const std::string& title, attr_t attributes) {
  if (box.height < 2 || box.width < 2) return;
  attron(attributes);
  for (int row = box.top; row < box.top + box.height && row < LINES; ++row) {
    if (row < 0) continue;
    for (int col = std::max(0, box.left); col < box.left + box.width && col < COLS; ++col) {
      bool top = row == box.top, bottom = row == box.top + box.height - 1;
      bool left = col == box.left, right = col == box.left + box.width - 1;
      // Plain characters: they read the same in every terminal and in a captured screen.
      chtype c = ' ';
      if ((top || bottom) && (left || right)) {
        c = '+';
      } else if (top || bottom) {
        c = '-';
      } else if (left || right) {
        c = '|';
      } else {
        continue;
      }
      mvaddch(row, col, c);
    }
  }
  attroff(attributes);
  if (!title.empty()) {
    Box screen{0, 0, LINES, COLS};
    Put(screen, box.top, box.left + 2, " " + title + " ", attributes | A_BOLD, box.width - 4);
  }
}

void ClearBox(const Box& box) {
  for (int row = std::max(0, box.top); row < box.top + box.height && row < LINES; ++row) {
    move(row, std::max(0, box.left));
    for (int col = std::max(0, box.left); col < box.left + box.width && col < COLS; ++col) {
      addch(' ');
    }
  }
}

struct Cursor {
  bool show = false;
  int row = 0, col = 0;
};

void DrawControl(const Box& inner, const Window& control, bool focused, Cursor* cursor,
                 std::vector<const Window*>* drop_downs) {
  int row = inner.top + control.y / 8;
  int col = inner.left + control.x / 4;
  int width = std::max(1, control.cx / 4);
  int height = std::max(1, control.cy / 8);
  attr_t dim = control.enabled ? A_NORMAL : A_DIM;
  attr_t focus = focused ? A_REVERSE : A_NORMAL;
  switch (control.kind) {
    case Kind::kStatic: {
      // Labels wrap over their height; line breaks in the text are kept.
      std::vector<std::string> lines;
      size_t start = 0;
      while (start <= control.text.size() && static_cast<int>(lines.size()) < height) {
        size_t end = control.text.find('\n', start);
        if (end == std::string::npos) end = control.text.size();
        std::string line = control.text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        do {
          lines.push_back(line.substr(0, width));
          line = static_cast<int>(line.size()) > width ? line.substr(width) : std::string();
        } while (!line.empty() && static_cast<int>(lines.size()) < height);
        start = end + 1;
      }
      for (size_t i = 0; i < lines.size(); ++i) {
        PutLabel(inner, row + static_cast<int>(i), col, lines[i], dim, width);
      }
      return;
    }
    case Kind::kButton: {
      DWORD type = control.style & BS_TYPEMASK;
      if (type == BS_GROUPBOX) {
        Frame(Box{row, col, height, width}, "", A_NORMAL);
        PutLabel(inner, row, col + 2, " " + control.text + " ", dim, width - 4);
        return;
      }
      if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) {
        int mnemonic;
        std::string label = Label(control.text, &mnemonic);
        std::string shown = type == BS_DEFPUSHBUTTON ? "<" + label + ">" : "[" + label + "]";
        int pad = std::max(0, (width - static_cast<int>(shown.size())) / 2);
        attr_t bold = type == BS_DEFPUSHBUTTON ? A_BOLD : A_NORMAL;
        Put(inner, row, col + pad, shown, dim | focus | bold, width);
        if (mnemonic >= 0) {
          Put(inner, row, col + pad + 1 + mnemonic, label.substr(mnemonic, 1),
              dim | focus | bold | A_UNDERLINE, 1);
        }
        return;
      }
      bool radio = type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
      std::string mark =
          radio ? (control.check ? "(*) " : "( ) ") : (control.check ? "[x] " : "[ ] ");
      Put(inner, row, col, mark, dim | focus, width);
      PutLabel(inner, row, col + 4, control.text, dim, width - 4);
      return;
    }
    case Kind::kEdit:
    case Kind::kComboBox: {
      bool combo = control.kind == Kind::kComboBox;
      int field = combo ? std::max(1, width - 2) : width;
      std::string text = (control.style & ES_PASSWORD) && !combo
                             ? std::string(control.text.size(), '*')
                             : control.text;
      size_t caret = std::min(control.caret, text.size());
      size_t first = caret >= static_cast<size_t>(field) ? caret - field + 1 : 0;
      bool read_only = (control.style & ES_READONLY) != 0;
      std::string shown = text.substr(first, field);
      // An editable field shows its free room, so an empty field can be seen and aimed at.
      shown.resize(field, read_only ? ' ' : '_');
      attr_t look = read_only ? A_NORMAL : A_UNDERLINE;
      Put(inner, row, col, shown, dim | look | (focused && !read_only ? A_BOLD : A_NORMAL), field);
      if (combo) Put(inner, row, col + field, " v", dim | focus, 2);
      if (focused && read_only) Put(inner, row, col, shown, A_REVERSE, field);
      if (focused && !read_only) {
        cursor->show = true;
        cursor->row = row;
        cursor->col = col + static_cast<int>(caret - first);
      }
      if (combo && focused && !control.items.empty()) drop_downs->push_back(&control);
      return;
    }
    case Kind::kListBox: {
      int rows = VisibleRows(control);
      int count = static_cast<int>(control.items.size());
      bool multiple = IsMultipleSelection(control);
      for (int i = 0; i < rows; ++i) {
        int index = control.top + i;
        std::string line(width, ' ');
        attr_t look = dim;
        if (index < count) {
          // The caret and, in a list of several selections, a mark on each selected entry, so
          // the state reads without colours too.
          bool at_caret = focused && index == (multiple ? control.caret_item : control.cursel);
          line = std::string(at_caret ? ">" : " ") +
                 (multiple ? (control.selected[index] ? "* " : "  ") : "") + control.items[index];
          line.resize(width, ' ');
          if (control.selected[index]) look |= A_REVERSE;
        }
        Put(inner, row + i, col, line, look, width);
      }
      // The last row of the list's height tells where the view is in a longer list.
      std::string where = count > rows ? "-- " + std::to_string(control.top + 1) + "-" +
                                             std::to_string(std::min(count, control.top + rows)) +
                                             " of " + std::to_string(count) + " --"
                                       : std::string();
      std::string rule(width, '-');
      if (!where.empty() && static_cast<int>(where.size()) < width) {
        rule.replace(width - where.size(), where.size(), where);
      }
      Put(inner, row + rows, col, rule, focused ? A_BOLD : A_DIM, width);
      return;
    }
    case Kind::kProgress: {
      // In 64 bits: a range from INT_MIN to INT_MAX must not overflow.
      long long span = static_cast<long long>(control.range_max) - control.range_min;
      long long done_units = static_cast<long long>(control.position) - control.range_min;
      int bar = std::max(1, width - 7);
      int done = span > 0 ? static_cast<int>(std::clamp(done_units * bar / span, 0LL,
                                                        static_cast<long long>(bar)))
                          : 0;
      int percent =
          span > 0 ? static_cast<int>(std::clamp(done_units * 100 / span, 0LL, 100LL)) : 0;
      std::string shown = "[" + std::string(done, '#') + std::string(bar - done, '.') + "]";
      char tail[8];
      std::snprintf(tail, sizeof tail, " %3d%%", percent);
      Put(inner, row, col, shown + (span > 0 ? tail : ""), dim, width);
      return;
    }
    case Kind::kDialog:
      return;
  }
}

void DrawDropDown(const Box& screen, const Box& inner, const Window& combo) {
  int row = inner.top + combo.y / 8 + 1;
  int col = inner.left + combo.x / 4;
  int width = std::max(4, combo.cx / 4);
  int rows = std::min(VisibleRows(combo), static_cast<int>(combo.items.size()));
  Box box{row, col, rows + 2, width};
  ClearBox(box);
  Frame(box, "", A_NORMAL);
  for (int i = 0; i < rows; ++i) {
    int index = combo.top + i;
    if (index >= static_cast<int>(combo.items.size())) break;
    std::string line = combo.items[index];
    line.resize(width - 2, ' ');
    Put(screen, row + 1 + i, col + 1, line, index == combo.cursel ? A_REVERSE : A_NORMAL,
        width - 2);
  }
}

struct Snapshot {
  Window dialog;
  std::vector<Window> controls;
};

std::vector<Snapshot> TakeSnapshot() {
  std::vector<Snapshot> shots;
  std::lock_guard lock(WindowLock());
  for (HWND hwnd : TopLevelLocked()) {
    Window* dialog = FindLocked(hwnd);
    if (!dialog || !dialog->visible || dialog->ended) continue;
    Snapshot shot{*dialog, {}};
    for (HWND child : dialog->children) {
      if (Window* control = FindLocked(child)) shot.controls.push_back(*control);
    }
    shots.push_back(std::move(shot));
  }
  return shots;
}

void DrawAll(const std::vector<Snapshot>& shots) {
  erase();
  Box screen{0, 0, LINES, COLS};
  Cursor cursor;
  std::string minimized;
  const Snapshot* top = nullptr;
  for (const Snapshot& shot : shots) {
    const Window& dialog = shot.dialog;
    if (dialog.minimized) {
      minimized += " [" + dialog.text + "]";
      continue;
    }
    top = &shot;
    int width = std::min(COLS, dialog.cx / 4 + 2);
    int height = std::min(LINES - 1, dialog.cy / 8 + 2);
    Box frame{std::max(0, (LINES - 1 - height) / 2), std::max(0, (COLS - width) / 2), height,
              width};
    ClearBox(frame);
    Frame(frame, dialog.text, dialog.enabled ? A_BOLD : A_DIM);
    Box inner{frame.top + 1, frame.left + 1, frame.height - 2, frame.width - 2};
    std::vector<const Window*> drop_downs;
    cursor = Cursor{};
    for (const Window& control : shot.controls) {
      if (!control.visible) continue;
      DrawControl(inner, control, dialog.enabled && control.hwnd == dialog.focus, &cursor,
                  &drop_downs);
    }
    for (const Window* combo : drop_downs) DrawDropDown(screen, inner, *combo);
  }
  std::string help = top ? " Tab: next  Enter: default button  Esc: cancel  Space: press/select"
                           "  Alt+letter: underlined button"
                         : " Press any key to restore";
  if (!minimized.empty()) help = " Minimized:" + minimized + " - press any key to restore";
  Put(screen, LINES - 1, 0, help, A_REVERSE, COLS);
  if (cursor.show) {
    curs_set(1);
    move(cursor.row, cursor.col);
  } else {
    curs_set(0);
  }
  refresh();
}

}  // namespace

bool IsDriven() { return driven.load(); }

void TerminalRedrawIfDirty(bool force) {
  if (DecidedMode() != VtWindowMode::kTerminal) return;
  static std::atomic<ULONGLONG> last_draw_ms{0};
  bool mine = false;
  HWND top = TopDialog(&mine);
  if (!top || !mine) return;
  ULONGLONG now = GetTickCount64();
  // A busy loop (a scan thread adding lines) redraws at most every 40 ms; a loop about to
  // wait redraws at once.
  if (!force && now - last_draw_ms.load() < 40) return;
  if (!TakeDirty()) return;
  std::vector<Snapshot> shots = TakeSnapshot();
  std::lock_guard lock(TerminalLock());
  if (!StartCursesLocked()) return;
  DrawAll(shots);
  last_draw_ms = now;
}

int TerminalInputFd() {
  if (!curses_started) return -1;
  bool mine = false;
  return TopDialog(&mine) && mine ? STDIN_FILENO : -1;
}

bool TerminalReadKey(MSG* message) {
  if (!curses_started) return false;
  bool mine = false;
  HWND top = TopDialog(&mine);
  if (!top || !mine) return false;
  static MSG pending{};  // guarded by TerminalLock(): the WM_CHAR after a space's WM_KEYDOWN
  static bool has_pending = false;
  int key;
  int next = ERR;
  {
    std::lock_guard lock(TerminalLock());
    if (has_pending) {
      *message = pending;
      has_pending = false;
      return true;
    }
    key = getch();
    if (key == 27) next = getch();
  }
  if (key == ERR) return false;
  if (IsIconic(top)) {
    (void)ShowWindow(top, SW_RESTORE);
    return false;
  }
  HWND target = top;
  {
    std::lock_guard lock(WindowLock());
    Window* dialog = FindLocked(top);
    if (dialog && dialog->focus) target = dialog->focus;
  }
  auto keydown = [&](WPARAM vk, LPARAM flags) {
    *message = MSG{target, WM_KEYDOWN, vk, flags, GetTickCount(), {}};
    return true;
  };
  switch (key) {
    case KEY_RESIZE: {
      std::lock_guard lock(WindowLock());
      MarkDirtyLocked();
      return false;
    }
    case '\t':
      return keydown(VK_TAB, 0);
    case KEY_BTAB:
      return keydown(VK_TAB, VT_KEY_SHIFTED);
    case '\n':
    case '\r':
    case KEY_ENTER:
      return keydown(VK_RETURN, 0);
    case KEY_UP:
      return keydown(VK_UP, 0);
    case KEY_DOWN:
      return keydown(VK_DOWN, 0);
    case KEY_LEFT:
      return keydown(VK_LEFT, 0);
    case KEY_RIGHT:
      return keydown(VK_RIGHT, 0);
    case KEY_HOME:
      return keydown(VK_HOME, 0);
    case KEY_END:
      return keydown(VK_END, 0);
    case KEY_PPAGE:
      return keydown(VK_PRIOR, 0);
    case KEY_NPAGE:
      return keydown(VK_NEXT, 0);
    case KEY_DC:
      return keydown(VK_DELETE, 0);
    case KEY_BACKSPACE:
    case 127:
    case 8:
      return keydown(VK_BACK, 0);
    case 27:
      if (next == ERR) return keydown(VK_ESCAPE, 0);
      if (next > 0x20 && next < 0x7F) {
        *message = MSG{target, WM_SYSCHAR, static_cast<WPARAM>(next), 0, GetTickCount(), {}};
        return true;
      }
      return false;
    case ' ': {
      std::lock_guard lock(TerminalLock());
      pending = MSG{target, WM_CHAR, ' ', 0, GetTickCount(), {}};
      has_pending = true;
      return keydown(VK_SPACE, 0);
    }
    default:
      if (key >= 0x20 && key <= 0xFF) {
        *message = MSG{target, WM_CHAR, static_cast<WPARAM>(key), 0, GetTickCount(), {}};
        return true;
      }
      return false;
  }
}

void TerminalEnd() {
  std::lock_guard lock(TerminalLock());
  if (!curses_started) return;
  endwin();
  curses_started = false;
  curses_failed = true;  // the display is not started again once ended
}

}  // namespace ui

void VtWindowSetMode(VtWindowMode mode) {
  if (ui::curses_started) return;  // the display in use stays until VtWindowShutdown
  ui::chosen_mode = static_cast<int>(mode);
}

VtWindowMode VtWindowCurrentMode() { return ui::DecidedMode(); }

void VtWindowSetDriven(BOOL driven) { ui::driven = driven != FALSE; }

void VtWindowShutdown() { ui::TerminalEnd(); }
