// Sizes, addresses, rule lookups, recipient sorting and the marks they leave.
#include <string>

#include "rights/rights.h"
#include "rights/test_support.h"

namespace rights {
namespace {

using testing_support::Mail;
using testing_support::RightsTest;
using testing_support::Rule;

TEST(RightsSizeText, RoundsToTheNearestKilobyte) {
  EXPECT_EQ(SizeTextToKb("1535"), 1);
  EXPECT_EQ(SizeTextToKb("1537"), 2);
  EXPECT_EQ(SizeTextToKb("102400"), 100);
  EXPECT_EQ(SizeTextToKb(""), 0);
  EXPECT_EQ(SizeTextToKb("abc"), 0);
  EXPECT_EQ(SizeTextToKb("2048.75"), 2);
  // A number beyond 32 bits stays bounded instead of wrapping.
  EXPECT_EQ(SizeTextToKb("99999999999999999999999"), 4194304);
}

TEST(RightsAddress, KeepsTheAddressAlone) {
  const std::pair<std::string, std::string> cases[] = {
      {"Alice Smith <alice@acme.example>", "alice@acme.example"},
      {"\"Smith, Alice\" <alice@acme.example>", "alice@acme.example"},
      {"alice@acme.example (Alice in accounts)", "alice@acme.example"},
      {"Alice Smith", "AliceSmith"},
      {"CN=Alice Smith/O=Acme", "CN=Alice Smith/O=Acme"},
      {"cn=Bob Jones/O=Acme@Acme ", "cn=Bob Jones/O=Acme@Acme"},
      {"  \t", ""},
      // Only a comment: nothing is collected and the text stays as it was.
      {"(no address here)", "(no address here)"},
      // An escaped quote does not end the display name.
      {"\"a \\\" <x@evil.example> \" <b@acme.example>", "b@acme.example"},
  };
  for (const auto& [input, expected] : cases) {
    std::string address = input;
    NormaliseAddress(address);
    EXPECT_EQ(address, expected) << input;
  }
}

TEST(RightsMakeRule, ChoosesTheFieldByTheKindOfAddress) {
  EXPECT_EQ(MakeRule("ALICE@ACME.EXAMPLE"),
            "SELECT form = \"NewUser\" & Email3 = \"ALICE@ACME.EXAMPLE\"");
  EXPECT_EQ(MakeRule("CN=ALICE/O=ACME"), "SELECT form = \"NewUser\" & Email1 = \"CN=ALICE/O=ACME\"");
  EXPECT_EQ(MakeRule("CN=ALICE/O=ACME@ACME"),
            "SELECT form = \"NewUser\" & Email2 = \"CN=ALICE/O=ACME@ACME\"");
  EXPECT_EQ(MakeRule(""), "");
  // Quotes and backslashes cannot end the literal early.
  EXPECT_EQ(MakeRule("CN=A\"B\\C"), "SELECT form = \"NewUser\" & Email1 = \"CN=A\\\"B\\\\C\"");
}

class RightsRulesTest : public RightsTest {
 protected:
  void SetUp() override {
    RightsTest::SetUp();
    CurrentSettings().installation_id = testing_support::kInstallationId;
    ASSERT_EQ(NSFDbOpen("mail.box", &db_), NOERROR);
  }
  void TearDown() override {
    if (note_ != NULLHANDLE) (void)NSFNoteClose(note_);
    (void)NSFDbClose(db_);
    RightsTest::TearDown();
  }
  NOTEHANDLE NewMail(const Mail& mail) {
    EXPECT_EQ(NSFNoteCreate(db_, &note_), NOERROR);
    FillMail(note_, mail);
    return note_;
  }
  std::string Text(const char* item) {
    char text[1024] = {};
    NSFItemGetText(note_, item, text, sizeof(text));
    return text;
  }

  DBHANDLE db_ = NULLHANDLE;
  NOTEHANDLE note_ = NULLHANDLE;
};

TEST_F(RightsRulesTest, CalculateSizeMeasuresTheWholeNote) {
  NewMail({.from = "a@b", .send_to = "c@d", .body_bytes = 200 * 1024});
  std::string size;
  ASSERT_EQ(CalculateSize(note_, size), NOERROR);
  EXPECT_EQ(size, std::to_string(VtNoteSize(note_)));
  EXPECT_EQ(SizeTextToKb(size), 200);
  EXPECT_EQ(CalculateSize(NULLHANDLE, size), 1);
}

TEST_F(RightsRulesTest, GetUserListNormalisesAndSkipsEmptyEntries) {
  NewMail({.from = "a@b",
           .send_to = " Alice <alice@acme.example> ,, \t,bob@acme.example (Bob)\r\n",
           .copy_to = ""});
  EXPECT_EQ(GetUserList(note_, kListSendTo), "alice@acme.example,bob@acme.example");
  EXPECT_EQ(GetUserList(note_, kListCopyTo), "");
  EXPECT_EQ(GetUserList(note_, kListBlindCopyTo), "");
}

TEST_F(RightsRulesTest, CommasInsideAnAddressDoNotSplitIt) {
  NewMail({.from = "a@b",
           .send_to = "\"Lee, Alice\" <alice@acme.example>, bob@acme.example",
           .copy_to = "carol@acme.example (Ray, Carol), Team: \"Doe, J\" <jd@acme.example>;"});
  EXPECT_EQ(GetUserList(note_, kListSendTo), "alice@acme.example,bob@acme.example");
  EXPECT_EQ(GetUserList(note_, kListCopyTo), "carol@acme.example,jd@acme.example");
}

TEST_F(RightsRulesTest, GetUserListReadsLongListsAndCutsLongAddresses) {
  std::string many;
  for (int i = 0; i < 10000; ++i) many += "u" + std::to_string(i) + "@x.example,";
  const std::string long_address(600, 'q');
  NewMail({.from = "a@b", .send_to = many, .copy_to = long_address + "@x.example"});
  const std::string list = GetUserList(note_, kListSendTo);
  // The header call measures in 16 bits: the list is read up to that bound, whole entries
  // first, and nothing beyond it.
  EXPECT_GT(list.size(), 60000u);
  EXPECT_LT(list.size(), 65535u);
  EXPECT_EQ(list.substr(0, 20), "u0@x.example,u1@x.ex");
  EXPECT_EQ(GetUserList(note_, kListCopyTo), std::string(254, 'q'));
}

TEST_F(RightsRulesTest, SendLimitIsMetAtTheLimitAndNotBelow) {
  AddRule({.email3 = "ALICE@ACME.EXAMPLE", .send_limit = 100, .send_action = "Forward"});
  NewMail({.from = "a@b"});
  WarningInfo info;
  EXPECT_TRUE(CheckUserLimit(&info, note_, "alice@acme.example", 100, kDirectionSend));
  EXPECT_EQ(info.send_action, kActionForward);
  EXPECT_FALSE(CheckUserLimit(&info, note_, "alice@acme.example", 99, kDirectionSend));
  // No receive limit on that rule, and nobody else has a rule.
  EXPECT_FALSE(CheckUserLimit(&info, note_, "alice@acme.example", 5000, kDirectionReceive));
  EXPECT_FALSE(CheckUserLimit(&info, note_, "carol@acme.example", 5000, kDirectionSend));
  EXPECT_FALSE(CheckUserLimit(nullptr, note_, "alice@acme.example", 100, kDirectionSend));
  EXPECT_FALSE(CheckUserLimit(&info, note_, "", 100, kDirectionSend));
}

TEST_F(RightsRulesTest, DisabledRulesTextLimitsAndLaterDocuments) {
  AddRule({.email3 = "OFF@ACME.EXAMPLE", .status = "Disable", .send_limit = 1});
  AddRule({.email3 = "TWICE@ACME.EXAMPLE", .send_limit = 10});
  AddRule({.email3 = "TWICE@ACME.EXAMPLE", .send_limit = 500});
  // A rule whose limit was typed as text: no number, so no limit.
  AddRule({.email3 = "TEXT@ACME.EXAMPLE"});
  DBHANDLE rules = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen(kRulesDatabase, &rules), NOERROR);
  NOTEHANDLE rule = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(rules, &rule), NOERROR);
  ASSERT_EQ(NSFItemSetText(rule, "Form", "NewUser", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(rule, "Email3", "WORDS@ACME.EXAMPLE", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(rule, "Status", "enable", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(rule, "Max_Send_Size", "ten", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(rule, "Max_Send_Action", "??", MAXWORD), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(rule, 0), NOERROR);
  ASSERT_EQ(NSFNoteClose(rule), NOERROR);
  ASSERT_EQ(NSFDbClose(rules), NOERROR);

  NewMail({.from = "a@b"});
  WarningInfo info;
  EXPECT_FALSE(CheckUserLimit(&info, note_, "off@acme.example", 100, kDirectionSend));
  EXPECT_EQ(info.user_found, 1);
  EXPECT_EQ(info.status_enabled, 0);
  EXPECT_FALSE(CheckUserLimit(&info, note_, "twice@acme.example", 100, kDirectionSend));
  EXPECT_EQ(info.send_limit, 500);
  EXPECT_FALSE(CheckUserLimit(&info, note_, "words@acme.example", 100, kDirectionSend));
  EXPECT_EQ(info.status_enabled, 1);
  EXPECT_EQ(info.send_limit, 0);
  EXPECT_EQ(info.send_action, kActionDelete);
}

TEST_F(RightsRulesTest, MissingOrDamagedRulesDatabaseLimitsNobody) {
  NewMail({.from = "a@b"});
  WarningInfo info;
  EXPECT_NE(CheckUserNameInDB(info, "alice@acme.example"), NOERROR);
  EXPECT_FALSE(CheckUserLimit(&info, note_, "alice@acme.example", 100, kDirectionSend));
  WriteText("domino/data/vtsched.nsf", std::string(4096, '\x5a'));
  EXPECT_NE(CheckUserNameInDB(info, "alice@acme.example"), NOERROR);
  EXPECT_FALSE(CheckUserLimit(&info, note_, "alice@acme.example", 100, kDirectionSend));
}

TEST_F(RightsRulesTest, DoNotScanSenderIsMarkedAndNeverLimited) {
  AddRule({.email3 = "BOSS@ACME.EXAMPLE", .send_limit = 1, .do_not_scan = "YES"});
  NewMail({.from = "boss@acme.example"});
  WarningInfo info;
  info.sender = "boss@acme.example";
  info.mail_size = 50;
  EXPECT_FALSE(IsThisUserSendMailMoreThanLimit(info, note_));
  EXPECT_EQ(info.do_not_scan, 1);
  EXPECT_EQ(Text(kMarkItem), testing_support::kInstallationId);
}

TEST_F(RightsRulesTest, RefusedRecipientsLeaveKeptListsAndForwardMarks) {
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 50, .receive_action = "Forward"});
  AddRule({.email3 = "CAROL@ACME.EXAMPLE", .receive_limit = 80, .receive_action = "Delete"});
  NewMail({.from = "a@b"});
  WarningInfo info;
  info.mail_size = 100;
  info.send_to = "alice@acme.example,bob@acme.example";
  info.copy_to = "carol@acme.example";
  ASSERT_TRUE(CheckReceipientList(info, note_));
  ASSERT_EQ(info.rejected.size(), 2u);
  EXPECT_EQ(info.rejected[0].address, "bob@acme.example");
  EXPECT_EQ(info.rejected[0].receive_limit, 50);
  EXPECT_EQ(info.rejected[1].address, "carol@acme.example");
  EXPECT_EQ(info.rejected[1].receive_limit, 80);
  EXPECT_EQ(info.receive_action, kActionForward);
  EXPECT_EQ(Text(MAIL_SENDTO_ITEM), "alice@acme.example");
  EXPECT_EQ(Text(MAIL_COPYTO_ITEM), "");
  EXPECT_EQ(NSFItemGetTextListEntries(note_, MAIL_RECIPIENTS_ITEM), 1);
  EXPECT_EQ(Text(kMarkItem), "FORWARD");
  // Only the forward node goes into the replacement list: 16 characters and 2 zero bytes.
  EXPECT_EQ(Text(kReplaceLengthItem), "18");
  BLOCKID value = {};
  DWORD length = 0;
  ASSERT_EQ(NSFItemInfo(note_, kReplacePersonItem, 13, nullptr, nullptr, &value, &length),
            NOERROR);
  const char* bytes = static_cast<const char*>(OSLockBlockPointer(value));
  EXPECT_EQ(std::string(bytes + 2, length - 2), std::string("bob@acme.example\0\0", 18));
  OSUnlockBlockPointer(value);
}

TEST_F(RightsRulesTest, EveryRecipientRefusedMarksTheMailWithoutAList) {
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 50});
  NewMail({.from = "a@b"});
  WarningInfo info;
  info.mail_size = 50;
  info.send_to = "bob@acme.example";
  ASSERT_TRUE(CheckReceipientList(info, note_));
  EXPECT_EQ(Text(kMarkItem), "DELETE");
  EXPECT_FALSE(NSFItemIsPresent(note_, kReplaceLengthItem, 19));

  WarningInfo nobody;
  nobody.mail_size = 10;
  nobody.send_to = "bob@acme.example";
  EXPECT_FALSE(CheckReceipientList(nobody, note_));
  EXPECT_TRUE(nobody.rejected.empty());
}

TEST_F(RightsRulesTest, FailedRewriteStillMarksAForwardRefusalButNotADelete) {
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 50, .receive_action = "Forward"});
  AddRule({.email3 = "CAROL@ACME.EXAMPLE", .receive_limit = 50});
  const RecipientRewrite failing = [](NOTEHANDLE, const std::string&, const std::string&,
                                      const std::string&) -> STATUS { return 1; };
  NewMail({.from = "a@b"});
  WarningInfo info;
  info.mail_size = 60;
  info.send_to = "alice@acme.example,bob@acme.example";
  EXPECT_FALSE(CheckReceipientList(info, note_, failing));
  EXPECT_EQ(Text(kMarkItem), "FORWARD");
  EXPECT_EQ(Text(kReplaceLengthItem), "18");

  (void)NSFNoteClose(note_);
  NewMail({.from = "a@b"});
  WarningInfo deleted;
  deleted.mail_size = 60;
  deleted.send_to = "alice@acme.example,carol@acme.example";
  EXPECT_FALSE(CheckReceipientList(deleted, note_, failing));
  EXPECT_FALSE(NSFItemIsPresent(note_, kMarkItem, 9));
  EXPECT_FALSE(NSFItemIsPresent(note_, kReplaceLengthItem, 19));
}

TEST(RightsReplacePerson, PadsWithOneZeroPerAddressAndOneMore) {
  WarningInfo info;
  info.rejected.push_back({.address = "abcdefg", .receive_action = kActionForward});
  EXPECT_EQ(ReplacePersonBytes(info), std::string("abcdefg\0\0", 9));
  info.rejected.clear();
  info.rejected.push_back({.address = "aaaaa", .receive_action = kActionForward});
  info.rejected.push_back({.address = "zz", .receive_action = kActionDelete});
  info.rejected.push_back({.address = "bbbbbb", .receive_action = kActionForward});
  EXPECT_EQ(ReplacePersonBytes(info), std::string("aaaaa,bbbbbb\0\0\0", 15));
  info.rejected.resize(2);
  info.rejected[0].receive_action = kActionDelete;
  EXPECT_EQ(ReplacePersonBytes(info), "");
}

}  // namespace
}  // namespace rights
