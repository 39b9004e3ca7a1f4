// message_box.cpp - MessageBox as a modal dialog of the window stand-in.
//
// The box is a dialog like any other: a STATIC control VT_MESSAGE_BOX_TEXT with the text and
// one push button per answer, identified by the answer (IDOK, IDYES, IDNO, IDCANCEL, IDRETRY),
// so a test finds it by its caption and presses a button as it would press any other.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ui/window_internal.h"

namespace {

struct Answer {
  int id;
  const char* label;
};

std::vector<Answer> AnswersOf(UINT type) {
  switch (type & 0xF) {
    case MB_OKCANCEL:
      return {{IDOK, "OK"}, {IDCANCEL, "Cancel"}};
    case MB_YESNOCANCEL:
      return {{IDYES, "&Yes"}, {IDNO, "&No"}, {IDCANCEL, "Cancel"}};
    case MB_YESNO:
      return {{IDYES, "&Yes"}, {IDNO, "&No"}};
    case MB_RETRYCANCEL:
      return {{IDRETRY, "&Retry"}, {IDCANCEL, "Cancel"}};
    default:
      return {{IDOK, "OK"}};
  }
}

INT_PTR CALLBACK MessageBoxProcedure(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      UINT type = static_cast<UINT>(lparam);
      (void)SetWindowLongPtr(box, DWLP_USER, static_cast<LONG_PTR>(type));
      std::vector<Answer> answers = AnswersOf(type);
      size_t preferred = (type & MB_DEFBUTTON2) && answers.size() > 1 ? 1 : 0;
      (void)SetFocus(GetDlgItem(box, answers[preferred].id));
      return FALSE;
    }
    case WM_COMMAND: {
      int id = LOWORD(wparam);
      UINT type = static_cast<UINT>(GetWindowLongPtr(box, DWLP_USER));
      std::vector<Answer> answers = AnswersOf(type);
      bool offered = std::any_of(answers.begin(), answers.end(),
                                 [id](const Answer& answer) { return answer.id == id; });
      if (offered) {
        (void)EndDialog(box, id);
      } else if (id == IDCANCEL && (type & 0xF) == MB_OK) {
        (void)EndDialog(box, IDOK);  // Esc closes a box that has only OK, as on Windows
      }
      return TRUE;
    }
    default:
      return FALSE;
  }
}

// The lines of the text, each cut to the width a terminal can show.
std::vector<std::string> TextLines(const std::string& text, size_t width) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    do {
      lines.push_back(line.substr(0, width));
      line = line.size() > width ? line.substr(width) : std::string();
    } while (!line.empty());
    start = end + 1;
  }
  return lines;
}

}  // namespace

int VtWindowMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  std::string body = text ? text : "";
  std::string title = caption ? caption : "";
  std::vector<Answer> answers = AnswersOf(type);
  ui::StartControlIfAsked();
  if (VtWindowCurrentMode() == VtWindowMode::kHeadless) {
    // Every box leaves its line on standard error, where an unattended run's log catches it.
    if (!title.empty()) {
      std::fprintf(stderr, "%s: %s\n", title.c_str(), body.c_str());
    } else {
      std::fprintf(stderr, "%s\n", body.c_str());
    }
    std::fflush(stderr);
    if (!ui::IsDriven()) return answers.front().id;
  }

  constexpr size_t kWidestText = 70;  // characters: the box stays inside an 80-column terminal
  constexpr short kButtonUnits = 40;  // a button of 10 characters
  std::vector<std::string> lines = TextLines(body, kWidestText);
  // Sizes are dialog units in 16 bits: a long caption or a text of many lines is shown cut
  // (the text control keeps the whole text) rather than overflowing them.
  constexpr size_t kMostLines = 20;
  size_t widest = std::min(title.size() + 4, kWidestText);
  for (const std::string& line : lines) widest = std::max(widest, line.size());
  size_t buttons_width = answers.size() * 12;
  short width = static_cast<short>(std::max(widest, buttons_width) * 4 + 16);
  short text_height = static_cast<short>(std::min(lines.size(), kMostLines) * 8);

  DLGTEMPLATE box{title,
                  DS_MODALFRAME | DS_CENTER | WS_CAPTION | WS_SYSMENU,
                  width,
                  static_cast<short>(text_height + 40),
                  "MS Sans Serif",
                  8,
                  {}};
  // The control keeps the text as given (a test reads it back); the display wraps it.
  box.items.push_back({"STATIC", body, VT_MESSAGE_BOX_TEXT, SS_LEFT, 8, 8,
                       static_cast<short>(width - 16), text_height});
  size_t preferred = (type & MB_DEFBUTTON2) && answers.size() > 1 ? 1 : 0;
  short x =
      static_cast<short>((width - static_cast<short>(answers.size()) * (kButtonUnits + 8)) / 2);
  for (size_t i = 0; i < answers.size(); ++i) {
    DWORD style = (i == preferred ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | WS_TABSTOP;
    if (i == 0) style |= WS_GROUP;
    box.items.push_back({"BUTTON", answers[i].label, answers[i].id, style,
                         static_cast<short>(x + static_cast<short>(i) * (kButtonUnits + 8)),
                         static_cast<short>(text_height + 16), kButtonUnits, 8});
  }
  INT_PTR result =
      DialogBoxIndirectParam(nullptr, &box, owner, MessageBoxProcedure, static_cast<LPARAM>(type));
  return result > 0 ? static_cast<int>(result) : 0;
}
