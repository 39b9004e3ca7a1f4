// window_test.cpp - the window stand-in driven headless: dialogs on their own thread, a test
// thread pressing buttons and answering boxes, other threads sending messages meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/winuser.h"

namespace {

constexpr int kDatabase = 1001;
constexpr int kCount = 1002;
constexpr int kLog = 1003;
constexpr int kExit = 1004;
constexpr int kAbout = 1005;
constexpr int kName = 1006;
constexpr int kDomains = 1007;
constexpr int kLocal = 1008;
constexpr int kInternet = 1009;
constexpr int kAdmins = 1010;
constexpr int kProgress = 1011;
constexpr int kDisabled = 1012;

const DLGTEMPLATE kProgressDialog{
    "Progress",
    WS_CAPTION,
    240,
    160,
    "MS Sans Serif",
    8,
    {{"STATIC", "Currently Scanning Database", IDC_STATIC, 0, 4, 4, 120, 8},
     {"EDIT", "", kDatabase, ES_READONLY | WS_TABSTOP, 4, 14, 230, 10},
     {"EDIT", "0", kCount, ES_READONLY, 4, 26, 60, 10},
     {PROGRESS_CLASS, "", kProgress, 0, 4, 38, 230, 8},
     {"LISTBOX", "", kLog, WS_TABSTOP, 4, 48, 230, 64},
     {"BUTTON", "&Exit", kExit, BS_DEFPUSHBUTTON | WS_TABSTOP, 4, 130, 50, 12},
     {"BUTTON", "&About", kAbout, BS_PUSHBUTTON | WS_TABSTOP, 60, 130, 50, 12}}};

const DLGTEMPLATE kFormDialog{
    "Form",
    WS_CAPTION,
    200,
    160,
    "MS Sans Serif",
    8,
    {{"EDIT", "", kName, WS_TABSTOP, 4, 4, 100, 10},
     {"COMBOBOX", "", kDomains, CBS_DROPDOWN | CBS_SORT | WS_TABSTOP, 4, 18, 100, 60},
     {"BUTTON", "Type", IDC_STATIC, BS_GROUPBOX, 4, 32, 100, 30},
     {"BUTTON", "&Local User", kLocal, BS_AUTORADIOBUTTON | WS_GROUP | WS_TABSTOP, 8, 40, 80, 8},
     {"BUTTON", "&Internet User", kInternet, BS_AUTORADIOBUTTON, 8, 50, 80, 8},
     {"LISTBOX", "", kAdmins, LBS_EXTENDEDSEL | LBS_NOTIFY | WS_TABSTOP | WS_GROUP, 4, 66, 100, 40},
     {"BUTTON", "&Gone", kDisabled, BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 4, 110, 40, 12},
     {"BUTTON", "&OK", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 50, 110, 40, 12},
     {"BUTTON", "Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 100, 110, 40, 12}}};

// What the dialog procedures saw, read by the tests after the dialog thread ended.
struct Seen {
  std::atomic<int> clicks_ok{0};
  std::atomic<int> cancels{0};
  std::atomic<int> edit_changes{0};
  std::atomic<int> list_changes{0};
  std::atomic<int> timers{0};
  std::atomic<int> stop_answers{0};
  std::atomic<int> about_result{-2};
};
Seen* seen = nullptr;

INT_PTR CALLBACK AboutProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(dialog, 42);
    return TRUE;
  }
  return message == WM_INITDIALOG;
}

INT_PTR CALLBACK ProgressProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetTimer(dialog, 7, 20, nullptr);
      return TRUE;
    case WM_TIMER:
      ++seen->timers;
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == kExit) {
        if (MessageBox(dialog, "Do you want to stop the scanning?", "Scanning Information",
                       MB_YESNO | MB_ICONQUESTION) == IDYES) {
          ++seen->stop_answers;
          PostQuitMessage(0);
        }
        return TRUE;
      }
      if (LOWORD(wparam) == kAbout) {
        const DLGTEMPLATE about{"About",
                                WS_CAPTION,
                                100,
                                40,
                                "MS Sans Serif",
                                8,
                                {{"BUTTON", "OK", IDOK, BS_DEFPUSHBUTTON, 30, 20, 40, 12}}};
        seen->about_result =
            static_cast<int>(DialogBoxIndirectParam(nullptr, &about, dialog, AboutProcedure, 0));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK FormProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      CheckRadioButton(dialog, kLocal, kInternet, kLocal);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          ++seen->clicks_ok;
          return TRUE;
        case IDCANCEL:
          ++seen->cancels;
          return TRUE;
        case kName:
          if (HIWORD(wparam) == EN_CHANGE) ++seen->edit_changes;
          return TRUE;
        case kAdmins:
          if (HIWORD(wparam) == LBN_SELCHANGE) ++seen->list_changes;
          return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

// A dialog on a thread of its own, running the message loop a program runs.
class DialogThread {
 public:
  DialogThread(const DLGTEMPLATE& dialog, DLGPROC procedure) {
    std::promise<HWND> made;
    std::future<HWND> ready = made.get_future();
    thread_ = std::thread([&dialog, procedure, &made, this] {
      thread_id_ = GetCurrentThreadId();
      HWND hwnd = CreateDialogIndirectParam(nullptr, &dialog, nullptr, procedure, 0);
      ShowWindow(hwnd, SW_SHOW);
      made.set_value(hwnd);
      MSG message;
      while (GetMessage(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessage(hwnd, &message)) DispatchMessage(&message);
      }
      DestroyWindow(hwnd);
    });
    hwnd_ = ready.get();
  }
  ~DialogThread() {
    if (thread_.joinable()) {
      PostThreadMessage(thread_id_, WM_QUIT, 0, 0);
      thread_.join();
    }
  }
  void Join() { thread_.join(); }
  HWND hwnd() const { return hwnd_; }

 private:
  std::thread thread_;
  std::atomic<DWORD> thread_id_{0};
  HWND hwnd_ = nullptr;
};

std::string Text(HWND dialog, int id) {
  char text[512];
  GetDlgItemText(dialog, id, text, sizeof text);
  return text;
}

std::string ListEntry(HWND dialog, int id, int index) {
  LRESULT length = SendDlgItemMessage(dialog, id, LB_GETTEXTLEN, index, 0);
  if (length < 0) return "<none>";
  std::string text(static_cast<size_t>(length), '\0');
  SendDlgItemMessage(dialog, id, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
  return text;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VtWindowSetMode(VtWindowMode::kHeadless);
    VtWindowSetDriven(TRUE);
    seen = &seen_;
  }
  void TearDown() override { seen = nullptr; }
  Seen seen_;
};

TEST_F(WindowTest, ProgressWindowTakesLinesFromAnotherThreadWhileTheTestDrivesIt) {
  DialogThread ui(kProgressDialog, ProgressProcedure);
  HWND dialog = ui.hwnd();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(VtWaitForWindow("Progress", 2000), dialog);

  // The scan thread: fields, the growing log list following its newest line, the progress.
  constexpr int kLines = 2000;
  std::thread scanner([dialog] {
    SendDlgItemMessage(dialog, kProgress, PBM_SETRANGE32, 0, kLines);
    for (int n = 1; n <= kLines; ++n) {
      std::string line = "line " + std::to_string(n);
      SetDlgItemText(dialog, kDatabase, ("mail/user" + std::to_string(n % 7) + ".nsf").c_str());
      SetDlgItemInt(dialog, kCount, n, FALSE);
      LRESULT index =
          SendDlgItemMessage(dialog, kLog, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
      SendDlgItemMessage(dialog, kLog, LB_SETCURSEL, index, 0);
      SendDlgItemMessage(dialog, kProgress, PBM_SETPOS, n, 0);
    }
  });
  // Meanwhile the test reads the fields; each read is a whole value, never a torn one.
  for (int n = 0; n < 200; ++n) {
    std::string count = Text(dialog, kCount);
    ASSERT_FALSE(count.empty());
    ASSERT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << count;
  }
  scanner.join();

  EXPECT_EQ(Text(dialog, kCount), std::to_string(kLines));
  EXPECT_EQ(Text(dialog, kDatabase), "mail/user" + std::to_string(kLines % 7) + ".nsf");
  ASSERT_EQ(SendDlgItemMessage(dialog, kLog, LB_GETCOUNT, 0, 0), kLines);
  EXPECT_EQ(ListEntry(dialog, kLog, 0), "line 1");
  EXPECT_EQ(ListEntry(dialog, kLog, kLines - 1), "line 2000");
  EXPECT_EQ(SendDlgItemMessage(dialog, kLog, LB_GETCURSEL, 0, 0), kLines - 1);
  // The selection scrolled the list so that the newest line is the last one shown.
  LRESULT top = SendDlgItemMessage(dialog, kLog, LB_GETTOPINDEX, 0, 0);
  EXPECT_GT(top, kLines - 10);
  EXPECT_LE(top, kLines - 1);
  EXPECT_EQ(SendDlgItemMessage(dialog, kProgress, PBM_GETPOS, 0, 0), kLines);
  EXPECT_EQ(ListEntry(dialog, kLog, kLines), "<none>");

  // About is modal over the window; its OK ends it with the value the procedure chose.
  PostMessage(GetDlgItem(dialog, kAbout), BM_CLICK, 0, 0);
  HWND about = VtWaitForWindow("About", 2000);
  ASSERT_NE(about, nullptr);
  EXPECT_FALSE(IsWindowEnabled(dialog));
  PostMessage(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
  for (int n = 0; n < 200 && seen_.about_result == -2; ++n) Sleep(5);
  EXPECT_EQ(seen_.about_result, 42);
  EXPECT_TRUE(IsWindowEnabled(dialog));
  EXPECT_FALSE(IsWindow(about));

  // Exit asks; No keeps the window, Yes ends the loop.
  PostMessage(GetDlgItem(dialog, kExit), BM_CLICK, 0, 0);
  HWND box = VtWaitForWindow("Scanning Information", 2000);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Text(box, VT_MESSAGE_BOX_TEXT), "Do you want to stop the scanning?");
  EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDOK), nullptr);
  PostMessage(GetDlgItem(box, IDNO), BM_CLICK, 0, 0);
  for (int n = 0; n < 200 && IsWindow(box); ++n) Sleep(5);
  EXPECT_FALSE(IsWindow(box));
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(seen_.stop_answers, 0);

  // Enter on the window presses its default button, Exit, whose box is answered with Yes.
  PostMessage(dialog, WM_KEYDOWN, VK_RETURN, 0);
  box = VtWaitForWindow("Scanning Information", 2000);
  ASSERT_NE(box, nullptr);
  PostMessage(GetDlgItem(box, IDYES), BM_CLICK, 0, 0);
  ui.Join();
  EXPECT_EQ(seen_.stop_answers, 1);
  EXPECT_GT(seen_.timers, 0);
  EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(WindowTest, KeyboardReachesEveryControlOfAForm) {
  DialogThread ui(kFormDialog, FormProcedure);
  HWND dialog = ui.hwnd();
  HWND name = GetDlgItem(dialog, kName);

  // Typing into the edit that has the focus; Backspace; each change is reported.
  for (char c : std::string("adminx")) PostMessage(name, WM_CHAR, c, 0);
  PostMessage(name, WM_KEYDOWN, VK_BACK, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(Text(dialog, kName), "admin");
  EXPECT_EQ(seen_.edit_changes, 7);

  // The combo box keeps its entries sorted; Down selects, typing edits, a prefix selects.
  HWND domains = GetDlgItem(dialog, kDomains);
  for (const char* domain : {"zeta.example", "Alpha.example", "mid.example"}) {
    SendMessage(domains, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(domain));
  }
  char entry[64];
  SendMessage(domains, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(entry));
  EXPECT_STREQ(entry, "Alpha.example");
  PostMessage(domains, WM_KEYDOWN, VK_DOWN, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(Text(dialog, kDomains), "Alpha.example");
  PostMessage(domains, WM_KEYDOWN, VK_DOWN, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(Text(dialog, kDomains), "mid.example");
  PostMessage(domains, WM_CHAR, 'x', 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(Text(dialog, kDomains), "mid.examplex");
  EXPECT_EQ(SendMessage(domains, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendMessage(domains, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                        reinterpret_cast<LPARAM>("ZE")),
            2);
  EXPECT_EQ(Text(dialog, kDomains), "zeta.example");

  // Radio buttons: the procedure checked Local; Down in the group moves the check.
  EXPECT_EQ(IsDlgButtonChecked(dialog, kLocal), BST_CHECKED);
  HWND local = GetDlgItem(dialog, kLocal);
  PostMessage(local, WM_KEYDOWN, VK_DOWN, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(IsDlgButtonChecked(dialog, kLocal), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, kInternet), BST_CHECKED);
  // Alt and the underlined letter clicks the other one back.
  PostMessage(dialog, WM_SYSCHAR, 'l', 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(IsDlgButtonChecked(dialog, kLocal), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, kInternet), BST_UNCHECKED);

  // A list with several selections: the caret moves with the arrows, Space toggles.
  HWND admins = GetDlgItem(dialog, kAdmins);
  for (const char* admin : {"a@x", "b@x", "c@x", "d@x"}) {
    SendMessage(admins, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(admin));
  }
  PostMessage(admins, WM_KEYDOWN, VK_SPACE, 0);
  PostMessage(admins, WM_KEYDOWN, VK_DOWN, 0);
  PostMessage(admins, WM_KEYDOWN, VK_DOWN, 0);
  PostMessage(admins, WM_KEYDOWN, VK_SPACE, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(SendMessage(admins, LB_GETSELCOUNT, 0, 0), 2);
  int selected[8] = {};
  ASSERT_EQ(SendMessage(admins, LB_GETSELITEMS, 8, reinterpret_cast<LPARAM>(selected)), 2);
  EXPECT_EQ(selected[0], 0);
  EXPECT_EQ(selected[1], 2);
  EXPECT_EQ(seen_.list_changes, 2);
  EXPECT_EQ(SendMessage(admins, LB_SETCURSEL, 1, 0), LB_ERR);  // single selection only
  // Deleting from the highest index down, as the console does, keeps the rest in order.
  SendMessage(admins, LB_DELETESTRING, 2, 0);
  SendMessage(admins, LB_DELETESTRING, 0, 0);
  ASSERT_EQ(SendMessage(admins, LB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(ListEntry(dialog, kAdmins, 0), "b@x");
  EXPECT_EQ(SendMessage(admins, LB_GETSELCOUNT, 0, 0), 0);

  // Enter presses the default button wherever the focus is, except on another push button;
  // Esc is Cancel. A disabled button is skipped by Tab and ignores clicks.
  PostMessage(admins, WM_KEYDOWN, VK_RETURN, 0);
  PostMessage(admins, WM_KEYDOWN, VK_ESCAPE, 0);
  SendMessage(GetDlgItem(dialog, kDisabled), BM_CLICK, 0, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(seen_.clicks_ok, 1);
  EXPECT_EQ(seen_.cancels, 1);
  // Tab from the list goes to OK (the disabled button is skipped): Space there presses OK.
  PostMessage(admins, WM_KEYDOWN, VK_TAB, 0);
  PostMessage(GetDlgItem(dialog, IDOK), WM_KEYDOWN, VK_SPACE, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(seen_.clicks_ok, 2);
  // Shift-Tab from the edit wraps round to Cancel, where Enter presses Cancel itself.
  PostMessage(name, WM_KEYDOWN, VK_TAB, VT_KEY_SHIFTED);
  PostMessage(GetDlgItem(dialog, IDCANCEL), WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
  EXPECT_EQ(seen_.cancels, 2);
  EXPECT_EQ(seen_.clicks_ok, 2);
}

TEST_F(WindowTest, BadHandlesAndVanishingWindowsFailWithoutHanging) {
  HWND made_up = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x12345678));
  EXPECT_FALSE(IsWindow(made_up));
  EXPECT_EQ(SendMessage(made_up, WM_GETTEXTLENGTH, 0, 0), 0);
  EXPECT_FALSE(PostMessage(made_up, WM_CLOSE, 0, 0));
  EXPECT_EQ(GetDlgItem(made_up, 1), nullptr);
  EXPECT_EQ(CreateDialogParam(nullptr, MAKEINTRESOURCE(999), nullptr, FormProcedure, 0), nullptr);

  HWND dialog;
  {
    DialogThread ui(kFormDialog, FormProcedure);
    dialog = ui.hwnd();
    // A message whose parameter points into the caller's memory cannot be posted.
    EXPECT_FALSE(
        PostMessage(GetDlgItem(dialog, kAdmins), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("x")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MESSAGE_SYNC_ONLY));
    // A short buffer gets as much as fits and its NUL.
    SetDlgItemText(dialog, kName, "a long administrator name");
    char small[6];
    EXPECT_EQ(GetDlgItemText(dialog, kName, small, sizeof small), 5u);
    EXPECT_STREQ(small, "a lon");
    // Only the owning thread destroys a window.
    EXPECT_FALSE(DestroyWindow(dialog));
  }
  // The dialog's thread ended its loop and destroyed it: later calls fail cleanly.
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(SendDlgItemMessage(dialog, kName, WM_GETTEXTLENGTH, 0, 0), 0);

  // A sender waiting on a window whose thread ends without answering gets 0 back.
  std::promise<HWND> made;
  std::atomic<bool> leave{false};
  std::thread owner([&] {
    HWND hwnd = CreateDialogIndirectParam(nullptr, &kFormDialog, nullptr, FormProcedure, 0);
    made.set_value(hwnd);
    while (!leave) Sleep(2);  // never takes its messages, then ends
  });
  HWND silent = made.get_future().get();
  std::thread sender([&] { EXPECT_EQ(SendMessage(silent, WM_GETTEXTLENGTH, 0, 0), 0); });
  Sleep(50);
  leave = true;
  owner.join();
  sender.join();
  EXPECT_FALSE(IsWindow(silent));
}

TEST_F(WindowTest, ModalDialogsFromRegisteredTemplatesAndUnattendedBoxes) {
  ASSERT_TRUE(RegisterDialogTemplate(130, kFormDialog));
  std::atomic<INT_PTR> result{-5};
  std::thread ui([&] {
    result = DialogBoxParam(
        nullptr, MAKEINTRESOURCE(130), nullptr,
        [](HWND dialog, UINT message, WPARAM wparam, LPARAM) -> INT_PTR {
          if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
            EndDialog(dialog, IsDlgButtonChecked(dialog, kInternet) ? 2 : 1);
            return TRUE;
          }
          return message == WM_INITDIALOG;
        },
        0);
  });
  HWND dialog = VtWaitForWindow("Form", 2000);
  ASSERT_NE(dialog, nullptr);
  SendDlgItemMessage(dialog, kInternet, BM_CLICK, 0, 0);
  PostMessage(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  ui.join();
  EXPECT_EQ(result, 2);
  EXPECT_EQ(FindWindow(nullptr, "Form"), nullptr);

  // A quit message taken by a modal loop ends the dialog and reaches the outer loop.
  std::atomic<BOOL> outer_saw_quit{-1};
  std::thread quitter([&] {
    std::thread poster([id = GetCurrentThreadId()] {
      VtWaitForWindow("Form", 2000);
      PostThreadMessage(id, WM_QUIT, 3, 0);
    });
    INT_PTR ended = DialogBoxIndirectParam(nullptr, &kFormDialog, nullptr, FormProcedure, 0);
    poster.join();
    MSG message;
    outer_saw_quit = GetMessage(&message, nullptr, 0, 0) == 0 && message.wParam == 3 && ended == 0;
  });
  quitter.join();
  EXPECT_EQ(outer_saw_quit, TRUE);

  // A box with a caption and a text far larger than a screen still comes up whole.
  std::string caption(10000, 'c');  // wider than 16-bit dialog units hold
  std::string text;
  for (int n = 0; n < 5000; ++n) text += std::to_string(n % 10) + "\n";  // and taller
  std::atomic<int> answer{0};
  std::thread asker(
      [&] { answer = MessageBox(nullptr, text.c_str(), caption.c_str(), MB_OKCANCEL); });
  HWND box = VtWaitForWindow(caption.c_str(), 2000);
  ASSERT_NE(box, nullptr);
  std::string shown(text.size() + 1, '\0');
  shown.resize(
      GetDlgItemText(box, VT_MESSAGE_BOX_TEXT, shown.data(), static_cast<int>(shown.size())));
  EXPECT_EQ(shown, text);
  PostMessage(box, WM_KEYDOWN, VK_ESCAPE, 0);
  asker.join();
  EXPECT_EQ(answer, IDCANCEL);

  // Nobody drives: a box answers with its first button at once.
  VtWindowSetDriven(FALSE);
  EXPECT_EQ(MessageBox(nullptr, "Sorry! Application is running already!!!", "Error",
                       MB_OK | MB_ICONERROR),
            IDOK);
  EXPECT_EQ(MessageBox(nullptr, "Stop?", "Question", MB_YESNO), IDYES);
}

}  // namespace

namespace {

// Messages without pointers, with any parameters, in any order, to every kind of control:
// the controls keep their records consistent and nothing reads outside them.
TEST_F(WindowTest, AnyParametersToAnyControlKeepTheControlsSound) {
  DialogThread ui(kFormDialog, FormProcedure);
  HWND dialog = ui.hwnd();
  const UINT messages[] = {LB_DELETESTRING, LB_SETSEL,       LB_SETCURSEL,    LB_GETSEL,
                           LB_GETCURSEL,    LB_GETTEXTLEN,   LB_GETCOUNT,     LB_SETTOPINDEX,
                           LB_GETSELCOUNT,  LB_RESETCONTENT, CB_DELETESTRING, CB_SETCURSEL,
                           CB_GETLBTEXTLEN, CB_GETCURSEL,    BM_SETCHECK,     BM_CLICK,
                           EM_LIMITTEXT,    EM_SETREADONLY,  PBM_SETRANGE32,  PBM_SETPOS,
                           WM_KEYDOWN,      WM_CHAR,         WM_SYSCHAR,      WM_GETTEXTLENGTH};
  const int controls[] = {kName, kDomains, kLocal, kInternet, kAdmins, kDisabled, IDOK};
  const WPARAM values[] = {0,
                           1,
                           2,
                           7,
                           0x20,
                           0x41,
                           0xFF,
                           0x100,
                           0x7FFF,
                           static_cast<WPARAM>(-1),
                           static_cast<WPARAM>(INT_MIN),
                           static_cast<WPARAM>(INT_MAX)};
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (const char* entry : {"a", "b", "c"}) {
    SendDlgItemMessage(dialog, kAdmins, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    SendDlgItemMessage(dialog, kDomains, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  }
  for (int n = 0; n < 4000; ++n) {
    HWND control = GetDlgItem(dialog, controls[next() % std::size(controls)]);
    UINT message = messages[next() % std::size(messages)];
    WPARAM wparam = values[next() % std::size(values)];
    LPARAM lparam = static_cast<LPARAM>(values[next() % std::size(values)]);
    if (message == WM_KEYDOWN || message == WM_CHAR || message == WM_SYSCHAR) {
      PostMessage(control, message, wparam, 0);  // through the dialog manager
    } else {
      SendMessage(control, message, wparam, lparam);
    }
    if (n % 50 == 0) {
      // Every entry the list reports can be read, and the selection lies within the list.
      ASSERT_TRUE(VtWindowWaitIdle(dialog, 2000));
      LRESULT count = SendDlgItemMessage(dialog, kAdmins, LB_GETCOUNT, 0, 0);
      for (LRESULT i = 0; i < count; ++i) ASSERT_NE(ListEntry(dialog, kAdmins, i), "<none>");
      int selected[64];
      LRESULT picked = SendDlgItemMessage(dialog, kAdmins, LB_GETSELITEMS, 64,
                                          reinterpret_cast<LPARAM>(selected));
      for (LRESULT i = 0; i < picked; ++i) ASSERT_LT(selected[i], count);
      ASSERT_LT(SendDlgItemMessage(dialog, kDomains, CB_GETCURSEL, 0, 0),
                SendDlgItemMessage(dialog, kDomains, CB_GETCOUNT, 0, 0));
      if (count == 0) {
        SendDlgItemMessage(dialog, kAdmins, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("z"));
      }
    }
  }
  EXPECT_TRUE(IsWindow(dialog));
}

}  // namespace
