// open_file_test.cpp - GetOpenFileName driven headless: look into folders, filter, pick.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/ui/commdlg.h"

namespace {

namespace fs = std::filesystem;

class OpenFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VtWindowSetMode(VtWindowMode::kHeadless);
    VtWindowSetDriven(TRUE);
    std::string pattern = (fs::temp_directory_path() / "vt-open-XXXXXX").string();
    folder_ = mkdtemp(pattern.data());
    fs::create_directories(folder_ + "/mail/archive");
    for (const char* name :
         {"mail/alice.nsf", "mail/Bob.NSF", "mail/notes.txt", "mail/archive/old.nsf"}) {
      std::ofstream(folder_ + "/" + name) << "x";
    }
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Runs GetOpenFileName on a thread of its own, as the console's dialog thread would.
  void Start(const std::string& initial, DWORD size = MAX_PATH) {
    file_.assign(size, '\0');
    std::strncpy(file_.data(), initial.c_str(), size - 1);
    request_ = OPENFILENAME{};
    request_.lStructSize = sizeof request_;
    request_.lpstrFilter = "Database\0*.NSF\0All files\0*\0";
    request_.lpstrFile = file_.data();
    request_.nMaxFile = size;
    request_.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    thread_ = std::thread([this] {
      result_ = GetOpenFileName(&request_);
      error_ = CommDlgExtendedError();
    });
    dialog_ = VtWaitForWindow("Open", 2000);
    ASSERT_NE(dialog_, nullptr);
  }
  BOOL Finish() {
    thread_.join();
    return result_;
  }
  std::string Entries() {
    std::string all;
    LRESULT count = SendDlgItemMessage(dialog_, kOpenFileList, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char entry[MAX_PATH];
      SendDlgItemMessage(dialog_, kOpenFileList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(entry));
      all += (all.empty() ? "" : " ") + std::string(entry);
    }
    return all;
  }
  void Press(int id) {
    PostMessage(GetDlgItem(dialog_, id), BM_CLICK, 0, 0);
    // A press that ends the dialog leaves nothing to wait for.
    ASSERT_TRUE(VtWindowWaitIdle(dialog_, 2000) || !IsWindow(dialog_));
  }

  std::string folder_;
  std::string file_;
  OPENFILENAME request_{};
  std::thread thread_;
  std::atomic<BOOL> result_{-1};
  std::atomic<DWORD> error_{0};
  HWND dialog_ = nullptr;
};

TEST_F(OpenFileTest, LooksIntoFoldersAndPicksAMatchingDatabase) {
  Start(folder_ + "/mail/*.nsf");
  // Subfolders first, then the files the pattern matches in any letter case.
  EXPECT_EQ(Entries(), "[..] [archive] alice.nsf Bob.NSF");

  // Into archive and back up, by selecting the folder and pressing Open (as Enter does).
  SendDlgItemMessage(dialog_, kOpenFileList, LB_SETCURSEL, 1, 0);
  PostMessage(dialog_, WM_COMMAND, MAKEWPARAM(kOpenFileList, LBN_SELCHANGE), 0);
  Press(IDOK);
  EXPECT_EQ(Entries(), "[..] old.nsf");
  SendDlgItemMessage(dialog_, kOpenFileList, LB_SETCURSEL, 0, 0);
  Press(IDOK);
  EXPECT_EQ(Entries(), "[..] [archive] alice.nsf Bob.NSF");

  // A name that is not there is refused with a box and the dialog stays.
  SetDlgItemText(dialog_, kOpenFileName, "carol.nsf");
  PostMessage(GetDlgItem(dialog_, IDOK), BM_CLICK, 0, 0);
  HWND box = dialog_;  // the box takes the dialog's title: wait for the one on top to change
  for (int n = 0; n < 400 && box == dialog_; ++n) {
    Sleep(5);
    box = FindWindow(nullptr, "Open");
  }
  ASSERT_NE(box, dialog_);
  char text[256];
  GetDlgItemText(box, VT_MESSAGE_BOX_TEXT, text, sizeof text);
  EXPECT_STREQ(text, "carol.nsf\nFile not found.\nCheck the file name and try again.");
  PostMessage(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(VtWindowWaitIdle(dialog_, 2000));

  // A file chosen from the list ends the dialog with its full path.
  SendDlgItemMessage(dialog_, kOpenFileList, LB_SETCURSEL, 2, 0);
  PostMessage(dialog_, WM_COMMAND, MAKEWPARAM(kOpenFileList, LBN_SELCHANGE), 0);
  Press(IDOK);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(std::string(file_.c_str()), folder_ + "/mail/alice.nsf");
  EXPECT_STREQ(file_.c_str() + request_.nFileOffset, "alice.nsf");
  EXPECT_STREQ(file_.c_str() + request_.nFileExtension, "nsf");
}

TEST_F(OpenFileTest, CancelAndABufferTooSmallReturnFalse) {
  Start(folder_ + "/mail/*.nsf");
  Press(IDCANCEL);
  EXPECT_FALSE(Finish());
  EXPECT_EQ(error_, 0u);

  std::string initial = folder_ + "/mail/alice.nsf";
  Start(initial, static_cast<DWORD>(initial.size()));  // no room for the NUL
  char name[64];
  GetDlgItemText(dialog_, kOpenFileName, name, sizeof name);
  EXPECT_STREQ(name, "alice.ns");  // the initial text was cut to the buffer, as given
  SetDlgItemText(dialog_, kOpenFileName, "alice.nsf");
  Press(IDOK);
  EXPECT_FALSE(Finish());
  EXPECT_EQ(error_, static_cast<DWORD>(FNERR_BUFFERTOOSMALL));
  WORD needed = 0;
  std::memcpy(&needed, file_.data(), sizeof needed);
  EXPECT_EQ(needed, initial.size() + 1);

  OPENFILENAME bad{};
  bad.lStructSize = 3;
  EXPECT_FALSE(GetOpenFileName(&bad));
  EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_STRUCTSIZE));
}

}  // namespace
