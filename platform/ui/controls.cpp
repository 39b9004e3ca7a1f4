// controls.cpp - the built-in controls (buttons, edits, labels, list boxes, combo boxes,
// progress bars) and the dialog manager's keyboard navigation.
//
// Each control message changes the control's record under WindowLock() and reports at most
// one notification, which is sent to the dialog after the lock is let go, so the dialog
// procedure may call back into the library.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "platform/ui/window_internal.h"

namespace ui {
namespace {

constexpr size_t kDefaultEditLimit = 30000;  // what Windows allows an edit before EM_LIMITTEXT
constexpr size_t kLargestEditLimit = 0x7FFFFFFE;

int CompareNoCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

std::string TextParameter(LPARAM lparam) {
  return lparam ? std::string(reinterpret_cast<const char*>(lparam)) : std::string();
}

// WM_GETTEXT: at most size - 1 characters and the NUL; the count copied.
LRESULT CopyText(const std::string& text, WPARAM size, LPARAM lparam) {
  char* buffer = reinterpret_cast<char*>(lparam);
  if (!buffer || size == 0) return 0;
  size_t count = std::min<size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), count);
  buffer[count] = '\0';
  return static_cast<LRESULT>(count);
}

bool IsSortedList(const Window& window) {
  return (window.kind == Kind::kListBox && (window.style & LBS_SORT)) ||
         (window.kind == Kind::kComboBox && (window.style & CBS_SORT));
}

int ItemCount(const Window& window) { return static_cast<int>(window.items.size()); }

// Inserts an entry at `index` (-1: at the end, or in order for a sorted list); its index.
int InsertItem(Window& window, int index, std::string text, bool sorted) {
  int count = ItemCount(window);
  if (sorted) {
    index = 0;
    while (index < count && CompareNoCase(window.items[index], text) <= 0) ++index;
  } else if (index < 0 || index > count) {
    index = count;
  }
  window.items.insert(window.items.begin() + index, std::move(text));
  window.selected.insert(window.selected.begin() + index, false);
  if (window.cursel >= index) ++window.cursel;
  if (window.caret_item >= index && count > 0) ++window.caret_item;
  return index;
}

int DeleteItem(Window& window, int index) {
  if (index < 0 || index >= ItemCount(window)) return LB_ERR;
  window.items.erase(window.items.begin() + index);
  window.selected.erase(window.selected.begin() + index);
  if (window.cursel == index) {
    window.cursel = -1;
  } else if (window.cursel > index) {
    --window.cursel;
  }
  if (window.caret_item > index) --window.caret_item;
  window.caret_item = std::clamp(window.caret_item, 0, std::max(0, ItemCount(window) - 1));
  window.top = std::clamp(window.top, 0, std::max(0, ItemCount(window) - 1));
  return ItemCount(window);
}

int FindExact(const Window& window, WPARAM start, const std::string& text, bool prefix) {
  int count = ItemCount(window);
  if (count == 0) return LB_ERR;
  int first = static_cast<int>(static_cast<INT_PTR>(start));
  first = (first < 0 || first >= count) ? 0 : first + 1;
  for (int n = 0; n < count; ++n) {
    int index = (first + n) % count;
    const std::string& item = window.items[index];
    if (prefix ? StartsWithNoCase(item, text) : CompareNoCase(item, text) == 0) return index;
  }
  return LB_ERR;
}

void SelectSingle(Window& window, int index) {
  std::fill(window.selected.begin(), window.selected.end(), false);
  window.cursel = (index >= 0 && index < ItemCount(window)) ? index : -1;
  if (window.cursel >= 0) {
    window.selected[window.cursel] = true;
    window.caret_item = window.cursel;
    EnsureVisibleLocked(window, window.cursel);
  }
}

// The radio or push buttons of the group that holds `hwnd`: from the control with WS_GROUP at
// or before it up to the next WS_GROUP.
std::vector<HWND> GroupOf(const Window& dialog, HWND hwnd) {
  const auto& children = dialog.children;
  auto at = std::find(children.begin(), children.end(), hwnd);
  if (at == children.end()) return {};
  auto first = at;
  while (first != children.begin()) {
    Window* control = FindLocked(*first);
    if (control && (control->style & WS_GROUP)) break;
    --first;
  }
  std::vector<HWND> group;
  for (auto it = first; it != children.end(); ++it) {
    Window* control = FindLocked(*it);
    if (!control) continue;
    if (it != first && (control->style & WS_GROUP)) break;
    if (control->kind == Kind::kButton && (control->style & BS_TYPEMASK) != BS_GROUPBOX) {
      group.push_back(*it);
    }
  }
  return group;
}

bool IsRadio(const Window& window) {
  DWORD type = window.style & BS_TYPEMASK;
  return window.kind == Kind::kButton && (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON);
}

bool IsPushButton(const Window& window) {
  DWORD type = window.style & BS_TYPEMASK;
  return window.kind == Kind::kButton && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

// A click: an auto check box toggles, an auto radio button checks itself and clears its group.
void ClickLocked(Window& button) {
  DWORD type = button.style & BS_TYPEMASK;
  if (type == BS_AUTOCHECKBOX) button.check = button.check == BST_CHECKED ? 0 : BST_CHECKED;
  if (type == BS_AUTORADIOBUTTON) {
    if (Window* dialog = FindLocked(button.parent)) {
      for (HWND hwnd : GroupOf(*dialog, button.hwnd)) {
        Window* other = FindLocked(hwnd);
        if (other && IsRadio(*other)) other->check = BST_UNCHECKED;
      }
    }
    button.check = BST_CHECKED;
  }
}

// Edit keys shared by edits and the edit field of a combo box; true when the text changed.
bool EditKey(Window& window, UINT message, WPARAM key, bool* handled) {
  bool read_only = (window.style & ES_READONLY) != 0;
  window.caret = std::min(window.caret, window.text.size());
  *handled = true;
  if (message == WM_CHAR) {
    if (key < 0x20 || key == 0x7F || key > 0xFF) {
      *handled = false;
      return false;
    }
    if (read_only || window.text.size() >= window.limit) return false;
    window.text.insert(window.caret, 1, static_cast<char>(key));
    ++window.caret;
    return true;
  }
  switch (key) {
    case VK_BACK:
      if (read_only || window.caret == 0) return false;
      window.text.erase(--window.caret, 1);
      return true;
    case VK_DELETE:
      if (read_only || window.caret >= window.text.size()) return false;
      window.text.erase(window.caret, 1);
      return true;
    case VK_LEFT:
      if (window.caret > 0) --window.caret;
      return false;
    case VK_RIGHT:
      if (window.caret < window.text.size()) ++window.caret;
      return false;
    case VK_HOME:
      window.caret = 0;
      return false;
    case VK_END:
      window.caret = window.text.size();
      return false;
    default:
      *handled = false;
      return false;
  }
}

// Moves the caret of a list (or the selection of a combo box) for a navigation key; the new
// index, or -1 when the key is not one of them.
int MovedIndex(const Window& window, WPARAM key, int from) {
  int count = ItemCount(window);
  if (count == 0) return -1;
  int page = std::max(1, VisibleRows(window) - 1);
  switch (key) {
    case VK_UP:
      return std::max(0, from - 1);
    case VK_DOWN:
      return std::min(count - 1, from + 1);
    case VK_PRIOR:
      return std::max(0, from - page);
    case VK_NEXT:
      return std::min(count - 1, from + page);
    case VK_HOME:
      return 0;
    case VK_END:
      return count - 1;
    default:
      return -1;
  }
}

struct Outcome {
  LRESULT result = 0;
  bool notify = false;
  WORD code = 0;
  bool changed = true;  // something a terminal shows
};

Outcome ButtonMessage(Window& window, UINT message, WPARAM wparam) {
  Outcome out;
  switch (message) {
    case BM_GETCHECK:
      out.result = window.check;
      out.changed = false;
      return out;
    case BM_SETCHECK:
      window.check = static_cast<UINT>(wparam);
      return out;
    case BM_CLICK:
      if (!window.enabled) return out;
      ClickLocked(window);
      out.notify = true;
      out.code = BN_CLICKED;
      return out;
    case WM_KEYDOWN:
      if (wparam == VK_SPACE && window.enabled) {
        ClickLocked(window);
        out.notify = true;
        out.code = BN_CLICKED;
      }
      return out;
    default:
      out.changed = false;
      return out;
  }
}

Outcome EditMessage(Window& window, UINT message, WPARAM wparam, LPARAM lparam) {
  Outcome out;
  switch (message) {
    case EM_LIMITTEXT:
      window.limit = wparam == 0 ? kLargestEditLimit : static_cast<size_t>(wparam);
      out.changed = false;
      return out;
    case EM_SETREADONLY:
      if (wparam) {
        window.style |= ES_READONLY;
      } else {
        window.style &= ~static_cast<DWORD>(ES_READONLY);
      }
      out.result = TRUE;
      return out;
    case WM_CHAR:
    case WM_KEYDOWN: {
      bool handled = false;
      if (EditKey(window, message, wparam, &handled)) {
        out.notify = true;
        out.code = EN_CHANGE;
      }
      return out;
    }
    default:
      out.changed = false;
      return out;
  }
}

Outcome ListMessage(Window& window, UINT message, WPARAM wparam, LPARAM lparam) {
  Outcome out;
  bool multiple = IsMultipleSelection(window);
  int count = ItemCount(window);
  int index = static_cast<int>(static_cast<INT_PTR>(wparam));
  bool notify = (window.style & LBS_NOTIFY) != 0;
  switch (message) {
    case LB_ADDSTRING:
      out.result = InsertItem(window, -1, TextParameter(lparam), IsSortedList(window));
      return out;
    case LB_INSERTSTRING:
      out.result = InsertItem(window, index, TextParameter(lparam), false);
      return out;
    case LB_DELETESTRING:
      out.result = DeleteItem(window, index);
      return out;
    case LB_RESETCONTENT:
      window.items.clear();
      window.selected.clear();
      window.cursel = -1;
      window.caret_item = 0;
      window.top = 0;
      return out;
    case LB_GETCOUNT:
      out.result = count;
      out.changed = false;
      return out;
    case LB_GETTEXTLEN:
    case LB_GETTEXT:
      out.changed = false;
      if (index < 0 || index >= count) {
        out.result = LB_ERR;
      } else if (message == LB_GETTEXTLEN) {
        out.result = static_cast<LRESULT>(window.items[index].size());
      } else if (lparam) {
        // As on Windows the caller sized the buffer with LB_GETTEXTLEN.
        const std::string& text = window.items[index];
        std::memcpy(reinterpret_cast<char*>(lparam), text.c_str(), text.size() + 1);
        out.result = static_cast<LRESULT>(text.size());
      }
      return out;
    case LB_SETCURSEL:
      if (multiple) {
        out.result = LB_ERR;
        out.changed = false;
        return out;
      }
      SelectSingle(window, index);
      out.result = (index < 0 || index >= count) ? LB_ERR : index;
      return out;
    case LB_GETCURSEL:
      out.changed = false;
      out.result = multiple ? (count ? window.caret_item : LB_ERR) : window.cursel;
      return out;
    case LB_SETSEL: {
      if (!multiple) {
        out.result = LB_ERR;
        return out;
      }
      int target = static_cast<int>(lparam);
      if (target == -1) {
        std::fill(window.selected.begin(), window.selected.end(), wparam != 0);
      } else if (target >= 0 && target < count) {
        window.selected[target] = wparam != 0;
        window.caret_item = target;
        EnsureVisibleLocked(window, target);
      } else {
        out.result = LB_ERR;
      }
      return out;
    }
    case LB_GETSEL:
      out.changed = false;
      out.result = (index < 0 || index >= count) ? LB_ERR : window.selected[index] ? 1 : 0;
      return out;
    case LB_GETSELCOUNT:
      out.changed = false;
      out.result =
          multiple ? std::count(window.selected.begin(), window.selected.end(), true) : LB_ERR;
      return out;
    case LB_GETSELITEMS: {
      out.changed = false;
      if (!multiple) {
        out.result = LB_ERR;
        return out;
      }
      int* indexes = reinterpret_cast<int*>(lparam);
      int room = static_cast<int>(std::min<WPARAM>(wparam, INT_MAX));
      int found = 0;
      for (int n = 0; n < count && found < room && indexes; ++n) {
        if (window.selected[n]) indexes[found++] = n;
      }
      out.result = found;
      return out;
    }
    case LB_GETTOPINDEX:
      out.changed = false;
      out.result = window.top;
      return out;
    case LB_SETTOPINDEX:
      if (index < 0 || (count > 0 && index >= count)) {
        out.result = LB_ERR;
        return out;
      }
      window.top = index;
      return out;
    case LB_FINDSTRINGEXACT:
      out.changed = false;
      out.result = FindExact(window, wparam, TextParameter(lparam), false);
      return out;
    case WM_KEYDOWN: {
      if (wparam == VK_SPACE && multiple && count > 0) {
        window.selected[window.caret_item] = !window.selected[window.caret_item];
        out.notify = notify;
        out.code = LBN_SELCHANGE;
        return out;
      }
      int from = multiple ? window.caret_item : std::max(0, window.cursel);
      if (!multiple && window.cursel < 0 && wparam == VK_DOWN) from = -1;
      int moved = MovedIndex(window, wparam, from);
      if (moved < 0) return out;
      if (multiple) {
        window.caret_item = moved;
        EnsureVisibleLocked(window, moved);
      } else if (moved != window.cursel) {
        SelectSingle(window, moved);
        out.notify = notify;
        out.code = LBN_SELCHANGE;
      }
      return out;
    }
    default:
      out.changed = false;
      return out;
  }
}

Outcome ComboMessage(Window& window, UINT message, WPARAM wparam, LPARAM lparam) {
  Outcome out;
  int count = ItemCount(window);
  int index = static_cast<int>(static_cast<INT_PTR>(wparam));
  bool has_edit = (window.style & 0x3) != CBS_DROPDOWNLIST;
  auto select = [&window](int target) {
    window.cursel = target;
    window.text = target >= 0 ? window.items[target] : std::string();
    window.caret = window.text.size();
    EnsureVisibleLocked(window, target);
  };
  switch (message) {
    case CB_ADDSTRING:
      out.result = InsertItem(window, -1, TextParameter(lparam), IsSortedList(window));
      return out;
    case CB_INSERTSTRING:
      out.result = InsertItem(window, index, TextParameter(lparam), false);
      return out;
    case CB_DELETESTRING:
      out.result = DeleteItem(window, index);
      return out;
    case CB_RESETCONTENT:
      window.items.clear();
      window.selected.clear();
      window.cursel = -1;
      window.top = 0;
      if (!has_edit) window.text.clear();
      return out;
    case CB_GETCOUNT:
      out.changed = false;
      out.result = count;
      return out;
    case CB_GETCURSEL:
      out.changed = false;
      out.result = window.cursel;
      return out;
    case CB_SETCURSEL:
      if (index < 0 || index >= count) {
        select(-1);
        out.result = CB_ERR;
      } else {
        select(index);
        out.result = index;
      }
      return out;
    case CB_GETLBTEXTLEN:
    case CB_GETLBTEXT:
      out.changed = false;
      if (index < 0 || index >= count) {
        out.result = CB_ERR;
      } else if (message == CB_GETLBTEXTLEN) {
        out.result = static_cast<LRESULT>(window.items[index].size());
      } else if (lparam) {
        const std::string& text = window.items[index];
        std::memcpy(reinterpret_cast<char*>(lparam), text.c_str(), text.size() + 1);
        out.result = static_cast<LRESULT>(text.size());
      }
      return out;
    case CB_FINDSTRINGEXACT:
      out.changed = false;
      out.result = FindExact(window, wparam, TextParameter(lparam), false);
      return out;
    case CB_SELECTSTRING: {
      int found = FindExact(window, wparam, TextParameter(lparam), true);
      if (found >= 0) select(found);
      out.result = found;
      return out;
    }
    case CB_LIMITTEXT:
      window.limit = wparam == 0 ? kLargestEditLimit : static_cast<size_t>(wparam);
      out.changed = false;
      out.result = TRUE;
      return out;
    case WM_CHAR:
    case WM_KEYDOWN: {
      int moved = message == WM_KEYDOWN ? MovedIndex(window, wparam, window.cursel) : -1;
      if (message == WM_KEYDOWN && wparam == VK_DOWN && window.cursel < 0 && count) moved = 0;
      if (moved >= 0) {
        if (moved != window.cursel) {
          select(moved);
          out.notify = true;
          out.code = CBN_SELCHANGE;
        }
        return out;
      }
      if (!has_edit) {
        // A drop-down list without an edit selects the next entry starting with the letter.
        if (message == WM_CHAR && wparam >= 0x20 && wparam < 0x7F) {
          int found = FindExact(window, static_cast<WPARAM>(window.cursel),
                                std::string(1, static_cast<char>(wparam)), true);
          if (found >= 0 && found != window.cursel) {
            select(found);
            out.notify = true;
            out.code = CBN_SELCHANGE;
          }
        }
        return out;
      }
      bool handled = false;
      if (EditKey(window, message, wparam, &handled)) {
        window.cursel = -1;
        out.notify = true;
        out.code = CBN_EDITCHANGE;
      }
      return out;
    }
    default:
      out.changed = false;
      return out;
  }
}

Outcome ProgressMessage(Window& window, UINT message, WPARAM wparam, LPARAM lparam) {
  Outcome out;
  switch (message) {
    case PBM_SETRANGE32:
      out.result = MAKELONG(window.range_min, window.range_max);
      window.range_min = static_cast<int>(static_cast<INT_PTR>(wparam));
      window.range_max = static_cast<int>(lparam);
      window.position = std::clamp(window.position, window.range_min,
                                   std::max(window.range_min, window.range_max));
      return out;
    case PBM_SETPOS:
      out.result = window.position;
      window.position = std::clamp(static_cast<int>(static_cast<INT_PTR>(wparam)), window.range_min,
                                   std::max(window.range_min, window.range_max));
      return out;
    case PBM_GETPOS:
      out.changed = false;
      out.result = window.position;
      return out;
    default:
      out.changed = false;
      return out;
  }
}

}  // namespace

LRESULT ControlProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  Outcome out;
  {
    std::lock_guard lock(WindowLock());
    Window* window = FindLocked(hwnd);
    if (!window) return 0;
    switch (message) {
      case WM_SETTEXT:
        window->text = TextParameter(lparam);
        window->caret = window->text.size();
        out.result = TRUE;
        out.notify = window->kind == Kind::kEdit;
        out.code = EN_CHANGE;
        break;
      case WM_GETTEXT:
        out.result = CopyText(window->text, wparam, lparam);
        out.changed = false;
        break;
      case WM_GETTEXTLENGTH:
        out.result = static_cast<LRESULT>(window->text.size());
        out.changed = false;
        break;
      default:
        switch (window->kind) {
          case Kind::kButton:
            out = ButtonMessage(*window, message, wparam);
            break;
          case Kind::kEdit:
            out = EditMessage(*window, message, wparam, lparam);
            break;
          case Kind::kListBox:
            out = ListMessage(*window, message, wparam, lparam);
            break;
          case Kind::kComboBox:
            out = ComboMessage(*window, message, wparam, lparam);
            break;
          case Kind::kProgress:
            out = ProgressMessage(*window, message, wparam, lparam);
            break;
          default:
            out.changed = false;
            break;
        }
    }
    if (out.changed) MarkDirtyLocked();
  }
  if (out.notify) NotifyParent(hwnd, out.code);
  return out.result;
}

bool Focusable(const Window& window) {
  if (!window.enabled || !window.visible) return false;
  if (window.kind == Kind::kStatic || window.kind == Kind::kProgress) return false;
  return !(window.kind == Kind::kButton && (window.style & BS_TYPEMASK) == BS_GROUPBOX);
}

namespace {

// The mnemonic letter of a control's text: the character after a single '&'.
int Mnemonic(const std::string& text) {
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] == '&') {
      ++i;
      continue;
    }
    return std::tolower(static_cast<unsigned char>(text[i + 1]));
  }
  return -1;
}

enum class KeyAction { kNone, kFocus, kClick, kCommand };

struct KeyDecision {
  KeyAction action = KeyAction::kNone;
  HWND target = nullptr;
  int command = 0;
  bool taken = false;
  bool move_focus = true;  // Enter presses the default button without focusing it
};

KeyDecision DecideLocked(Window& dialog, const MSG& message) {
  KeyDecision decision;
  // Keys reach the focused control; one addressed to another control (a test posting keys)
  // gives that control the focus first, as a click on it would.
  Window* addressed = FindLocked(message.hwnd);
  if (addressed && addressed->parent == dialog.hwnd && Focusable(*addressed)) {
    dialog.focus = message.hwnd;
  }
  Window* focus = FindLocked(dialog.focus);
  auto focusable_stops = [&dialog](bool tab_only) {
    std::vector<HWND> stops;
    for (HWND hwnd : dialog.children) {
      Window* control = FindLocked(hwnd);
      if (control && Focusable(*control) && (!tab_only || (control->style & WS_TABSTOP))) {
        stops.push_back(hwnd);
      }
    }
    return stops;
  };
  auto by_mnemonic = [&](int letter) {
    const auto& children = dialog.children;
    for (size_t i = 0; i < children.size(); ++i) {
      Window* control = FindLocked(children[i]);
      if (!control || !control->visible || !control->enabled || Mnemonic(control->text) != letter) {
        continue;
      }
      decision.taken = true;
      if (control->kind == Kind::kButton && (control->style & BS_TYPEMASK) != BS_GROUPBOX) {
        // A push button is pressed where the focus is; a radio button or check box takes the
        // focus as it changes.
        decision.action = KeyAction::kClick;
        decision.move_focus = !IsPushButton(*control);
        decision.target = children[i];
        return;
      }
      // A label's mnemonic focuses the control after it, as the dialog manager does.
      for (size_t j = i + 1; j < children.size(); ++j) {
        Window* next = FindLocked(children[j]);
        if (next && Focusable(*next)) {
          decision.action = KeyAction::kFocus;
          decision.target = children[j];
          return;
        }
      }
      return;
    }
  };

  if (message.message == WM_SYSCHAR) {
    by_mnemonic(std::tolower(static_cast<int>(message.wParam & 0xFF)));
    return decision;
  }
  if (message.message == WM_CHAR) {
    // Plain letters are mnemonics only where no control wants to type them.
    if (focus && focus->kind == Kind::kButton && message.wParam > 0x20 && message.wParam < 0x7F) {
      by_mnemonic(std::tolower(static_cast<int>(message.wParam)));
    }
    return decision;
  }
  if (message.message != WM_KEYDOWN) return decision;
  switch (message.wParam) {
    case VK_TAB: {
      // The next tab stop in template order after the focus, wrapping round; a dialog without
      // tab stops tabs through every control that takes the focus.
      std::vector<HWND> stops = focusable_stops(true);
      bool any_stop = !stops.empty();
      decision.taken = true;
      const auto& children = dialog.children;
      size_t n = children.size();
      auto at = std::find(children.begin(), children.end(), dialog.focus);
      bool backwards = (message.lParam & VT_KEY_SHIFTED) != 0;
      size_t start = at == children.end() ? (backwards ? 0 : n - 1)
                                          : static_cast<size_t>(at - children.begin());
      for (size_t step = 1; step <= n; ++step) {
        size_t index = backwards ? (start + n - step) % n : (start + step) % n;
        Window* control = FindLocked(children[index]);
        if (!control || !Focusable(*control)) continue;
        if (any_stop && !(control->style & WS_TABSTOP)) continue;
        decision.action = KeyAction::kFocus;
        decision.target = children[index];
        break;
      }
      return decision;
    }
    case VK_RETURN: {
      decision.taken = true;
      if (focus && (focus->style & ES_MULTILINE) && focus->kind == Kind::kEdit) {
        decision.taken = false;
        return decision;
      }
      if (focus && IsPushButton(*focus)) {
        decision.action = KeyAction::kClick;
        decision.target = focus->hwnd;
        return decision;
      }
      for (HWND hwnd : dialog.children) {
        Window* control = FindLocked(hwnd);
        if (control && control->kind == Kind::kButton &&
            (control->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
          if (control->enabled && control->visible) {
            decision.action = KeyAction::kClick;
            decision.target = hwnd;
            decision.move_focus = false;
          }
          return decision;
        }
      }
      decision.action = KeyAction::kCommand;
      decision.command = IDOK;
      return decision;
    }
    case VK_ESCAPE:
      decision.taken = true;
      decision.action = KeyAction::kCommand;
      decision.command = IDCANCEL;
      return decision;
    case VK_UP:
    case VK_DOWN:
    case VK_LEFT:
    case VK_RIGHT: {
      if (!focus || focus->kind != Kind::kButton) return decision;
      std::vector<HWND> group = GroupOf(dialog, focus->hwnd);
      std::erase_if(group, [](HWND hwnd) {
        Window* control = FindLocked(hwnd);
        return !control || !Focusable(*control);
      });
      decision.taken = true;
      if (group.size() < 2) return decision;
      auto at = std::find(group.begin(), group.end(), focus->hwnd);
      size_t n = group.size();
      size_t position = at == group.end() ? 0 : static_cast<size_t>(at - group.begin());
      bool back = message.wParam == VK_UP || message.wParam == VK_LEFT;
      HWND next = group[back ? (position + n - 1) % n : (position + 1) % n];
      Window* next_control = FindLocked(next);
      decision.target = next;
      decision.action =
          next_control && IsRadio(*next_control) ? KeyAction::kClick : KeyAction::kFocus;
      return decision;
    }
    default:
      return decision;
  }
}

}  // namespace

bool HandleDialogKey(HWND dialog_hwnd, const MSG& message) {
  KeyDecision decision;
  {
    std::lock_guard lock(WindowLock());
    Window* dialog = FindLocked(dialog_hwnd);
    if (!dialog || !dialog->enabled) return false;
    decision = DecideLocked(*dialog, message);
    if (decision.target && decision.action != KeyAction::kNone && decision.move_focus) {
      dialog->focus = decision.target;
      MarkDirtyLocked();
    }
  }
  switch (decision.action) {
    case KeyAction::kClick:
      (void)CallProcedure(decision.target, BM_CLICK, 0, 0);
      break;
    case KeyAction::kCommand: {
      HWND control = GetDlgItem(dialog_hwnd, decision.command);
      if (control && !IsWindowEnabled(control)) break;
      (void)CallProcedure(dialog_hwnd, WM_COMMAND, MAKEWPARAM(decision.command, BN_CLICKED),
                          reinterpret_cast<LPARAM>(control));
      break;
    }
    default:
      break;
  }
  return decision.taken;
}

}  // namespace ui
