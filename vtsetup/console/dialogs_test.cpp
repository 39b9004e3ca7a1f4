// Tests of the administrator list's enabling rules and what its Save and Cancel write,
// driven headless in the test's process.
#include "vtsetup/console/dialogs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "foundation/config.h"
#include "foundation/test_root.h"

namespace vtsetup {
namespace {

class AdministratorListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VtWindowSetMode(VtWindowMode::kHeadless);
    VtWindowSetDriven(TRUE);
    state_.ini_path = root_.Write("vantrel/vantrel.ini", "[General]\r\n");
    state_.primary_domain = "example.com";
  }

  void Seed(const std::string& ids, const std::string& databases, const char* max_admins) {
    ASSERT_TRUE(foundation::WriteIniValue("General", "AdminEmailId", ids, state_.ini_path));
    foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB", databases);
    foundation::WriteProductValue(foundation::kProductSubkey, "AdminCount", max_admins);
  }

  // Opens the list on its own thread and returns its window.
  HWND Open() {
    ui_ = std::thread([this] { RunAdministratorList(state_, [this] { ++saves_; }); });
    HWND dialog = VtWaitForWindow("Administrator", 5000);
    EXPECT_NE(dialog, nullptr);
    EXPECT_TRUE(VtWindowWaitIdle(dialog, 5000));
    return dialog;
  }

  void Press(HWND dialog, int id) {
    PostMessage(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    VtWindowWaitIdle(dialog, 5000);
  }

  void Close() {
    if (ui_.joinable()) ui_.join();
  }

  static bool Enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)); }
  static int Count(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessage(dialog, id, LB_GETCOUNT, 0, 0));
  }
  std::string Ini(const char* key) {
    return foundation::ReadIniValue("General", key, "<none>", state_.ini_path, 1 << 16);
  }
  static std::string Registry(const char* name) {
    std::string value;
    (void)foundation::ReadProductValue(foundation::kProductSubkey, name, value, "<none>");
    return value;
  }

  foundation::testing::TestRoot root_;
  ConsoleState state_;
  std::thread ui_;
  std::atomic<int> saves_{0};
};

TEST_F(AdministratorListTest, OpensWithAddOnlyBelowTheMaximumAndSaveDisabled) {
  Seed("a@example.com,b@example.com", "mail/a.nsf, ", "2");
  HWND dialog = Open();
  EXPECT_EQ(Count(dialog, kAdminIdList), 2);
  EXPECT_EQ(Count(dialog, kAdminDatabaseList), 2);
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, kAdminDatabaseList)));
  EXPECT_FALSE(Enabled(dialog, kAddButton));
  EXPECT_TRUE(Enabled(dialog, kDeleteButton));
  EXPECT_TRUE(Enabled(dialog, kDeleteAllButton));
  EXPECT_FALSE(Enabled(dialog, kSaveButton));
  EXPECT_EQ(SendDlgItemMessage(dialog, kAdminIdList, LB_GETSEL, 0, 0), TRUE);
  Press(dialog, kCancelListButton);
  Close();
  EXPECT_EQ(saves_, 0);
  EXPECT_EQ(Ini("AdminEmailId"), "a@example.com,b@example.com");
}

TEST_F(AdministratorListTest, OneEntryDisablesDeleteAndAMissingMaximumIsWrittenAsTen) {
  ASSERT_TRUE(
      foundation::WriteIniValue("General", "AdminEmailId", "a@example.com", state_.ini_path));
  HWND dialog = Open();
  EXPECT_EQ(Registry("AdminCount"), "10");
  EXPECT_TRUE(Enabled(dialog, kAddButton));
  EXPECT_FALSE(Enabled(dialog, kDeleteButton));
  EXPECT_FALSE(Enabled(dialog, kDeleteAllButton));
  PostMessage(dialog, WM_CLOSE, 0, 0);
  Close();
}

TEST_F(AdministratorListTest, DeleteAllKeepsTheFirstAndSaveWritesWhatIsLeft) {
  Seed("a@example.com,b@example.com,c@example.com", "mail/a.nsf,mail/b.nsf, ", "10");
  HWND dialog = Open();
  Press(dialog, kDeleteAllButton);
  EXPECT_EQ(Count(dialog, kAdminIdList), 1);
  EXPECT_EQ(Count(dialog, kAdminDatabaseList), 1);
  EXPECT_FALSE(Enabled(dialog, kDeleteButton));
  EXPECT_FALSE(Enabled(dialog, kDeleteAllButton));
  EXPECT_TRUE(Enabled(dialog, kSaveButton));
  // Any notification of the list enables the delete buttons again.
  PostMessage(dialog, WM_COMMAND, MAKEWPARAM(kAdminIdList, LBN_SELCHANGE),
              reinterpret_cast<LPARAM>(GetDlgItem(dialog, kAdminIdList)));
  VtWindowWaitIdle(dialog, 5000);
  EXPECT_TRUE(Enabled(dialog, kDeleteButton));
  Press(dialog, kSaveButton);
  Close();
  EXPECT_EQ(saves_, 1);
  EXPECT_EQ(Ini("AdminEmailId"), "a@example.com");
  EXPECT_EQ(Registry("VTADMINDB"), "mail/a.nsf");
  EXPECT_EQ(state_.sender_name, "a");
}

TEST_F(AdministratorListTest, DeleteRemovesTheSelectedPairsButNeverTheLastAdministrator) {
  Seed("a@example.com,b@example.com,c@example.com,d@example.com",
       "mail/a.nsf, ,mail/c.nsf,mail/d.nsf", "10");
  HWND dialog = Open();
  // The first entry is selected on opening; select the second as well.
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, 1);
  Press(dialog, kDeleteButton);
  ASSERT_EQ(Count(dialog, kAdminIdList), 2);
  char text[64] = {};
  SendDlgItemMessage(dialog, kAdminDatabaseList, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "mail/c.nsf");
  EXPECT_TRUE(Enabled(dialog, kDeleteButton));
  // Everything selected: the first stays, so the installation keeps an administrator.
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, -1);
  Press(dialog, kDeleteButton);
  EXPECT_EQ(Count(dialog, kAdminIdList), 1);
  EXPECT_FALSE(Enabled(dialog, kDeleteButton));
  Press(dialog, kSaveButton);
  Close();
  EXPECT_EQ(Ini("AdminEmailId"), "c@example.com");
  EXPECT_EQ(Registry("VTADMINDB"), "mail/c.nsf");
}

TEST_F(AdministratorListTest, ALongListIsReadAndSavedWhole) {
  std::string kept;
  for (int i = 0; i < 6; ++i)
    kept += (i ? "," : "") + ("admin" + std::to_string(i) + "." + std::string(240, 'x')) +
            "@example.com";
  Seed(kept + ",gone@example.com", "vtquaran.nsf, , , , , ,mail/gone.nsf", "10");
  HWND dialog = Open();
  ASSERT_EQ(Count(dialog, kAdminIdList), 7);
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, FALSE, -1);
  SendDlgItemMessage(dialog, kAdminIdList, LB_SETSEL, TRUE, 6);
  Press(dialog, kDeleteButton);
  Press(dialog, kSaveButton);
  Close();
  EXPECT_EQ(Ini("AdminEmailId"), kept);
  EXPECT_EQ(Registry("VTADMINDB"), "vtquaran.nsf, , , , , ");
}

}  // namespace
}  // namespace vtsetup
