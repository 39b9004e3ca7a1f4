// The note-update hook in a router task: which mails it checks, and what a checked mail and
// the mail box hold afterwards.
#include <string>

#include "rights/rights.h"
#include "rights/test_support.h"

namespace rights {
namespace {

using testing_support::Mail;
using testing_support::RightsTest;

class RightsHookTest : public RightsTest {};

TEST_F(RightsHookTest, SendLimitDeleteMarksTheMailAndWarnsSenderAndAdministrators) {
  Arm();
  AddRule({.email3 = "ALICE@ACME.EXAMPLE", .send_limit = 100});
  const NOTEID id = PostMail({.from = "Alice <alice@acme.example>", .send_to = "bob@acme.example",
                              .body_bytes = 150 * 1024});
  EXPECT_EQ(ItemText(id, kMarkItem), "DELETE");
  EXPECT_EQ(ItemText(id, kDoneItem), "DONE");
  const std::vector<NOTEID> warnings = OtherNotes(id);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(ItemText(warnings[0], MAIL_SUBJECT_ITEM),
            "Size Restriction Warning from Vantrel to Mail-Administrator!");
  EXPECT_EQ(ItemText(warnings[1], MAIL_SENDTO_ITEM), "alice@acme.example");
  // The warnings went through the hook too, and were left alone.
  for (NOTEID warning : warnings) EXPECT_EQ(ItemText(warning, kDoneItem), "");
  const std::string log = ReadFile(Path("vantrel/logs/rights.log"));
  EXPECT_NE(log.find("UserWiseSizeRestriction Occur in this EMail!!!"), std::string::npos);
  EXPECT_NE(log.find("This is a Warning Mail, So not checking any conditions"),
            std::string::npos);
}

TEST_F(RightsHookTest, SwitchesTurnWarningsOff) {
  Arm();
  SetValue("WTOA_Send_SizeRestriction", "0");
  SetValue("WTOS_Send_SizeRestriction", "yes");
  AddRule({.email3 = "ALICE@ACME.EXAMPLE", .send_limit = 10, .send_action = "Forward"});
  const NOTEID id = PostMail({.from = "alice@acme.example", .send_to = "bob@acme.example",
                              .body_bytes = 20 * 1024});
  EXPECT_EQ(ItemText(id, kMarkItem), "FORWARD");
  EXPECT_TRUE(OtherNotes(id).empty());
}

TEST_F(RightsHookTest, MailsThatAreNotChecked) {
  AddRule({.email3 = "ALICE@ACME.EXAMPLE", .send_limit = 1});
  const Mail mail{.from = "alice@acme.example", .send_to = "bob@acme.example",
                  .body_bytes = 5 * 1024};
  Arm(false);  // SizeRestrictionEnabled absent
  NOTEID id = PostMail(mail);
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  SetValue("SizeRestrictionEnabled", "1");
  ASSERT_EQ(NSFDbCreate("MAIL.BOX", DBCLASS_NOTEFILE, FALSE), NOERROR);
  id = PostMail(mail, "MAIL.BOX");
  EXPECT_EQ(ItemText(id, kMarkItem, "MAIL.BOX"), "");
  // A mail checked before (in any case) is not checked again.
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  FillMail(note, mail);
  ASSERT_EQ(NSFItemSetText(note, kDoneItem, "done", MAXWORD), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  (void)NSFNoteClose(note);
  (void)NSFDbClose(db);
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  // Engine not running: nothing is checked.
  CloseHandle(engine_lock_);
  engine_lock_ = nullptr;
  id = PostMail(mail);
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  EXPECT_EQ(OtherNotes(0).size(), 3u);  // three mails here, no warnings
}

TEST_F(RightsHookTest, ReceiveLimitsForwardDropRefusedRecipientsAndWarnEveryone) {
  Arm();
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 50, .receive_action = "Forward"});
  AddRule({.email3 = "CAROL@ACME.EXAMPLE", .receive_limit = 80, .receive_action = "Delete"});
  const NOTEID id = PostMail({.from = "alice@acme.example",
                              .send_to = "bob@acme.example,dave@acme.example",
                              .copy_to = "carol@acme.example",
                              .body_bytes = 100 * 1024});
  EXPECT_EQ(ItemText(id, MAIL_SENDTO_ITEM), "dave@acme.example");
  EXPECT_EQ(ItemText(id, MAIL_COPYTO_ITEM), "");
  EXPECT_EQ(ItemText(id, kMarkItem), "FORWARD");
  EXPECT_EQ(ItemText(id, kReplaceLengthItem), "18");
  EXPECT_EQ(ItemText(id, kReplacePersonItem), std::string("bob@acme.example\0\0", 18));
  EXPECT_EQ(ItemText(id, kDoneItem), "DONE");
  // bob, carol, the sender and the administrators.
  const std::vector<NOTEID> warnings = OtherNotes(id);
  ASSERT_EQ(warnings.size(), 4u);
  EXPECT_EQ(ItemText(warnings[0], MAIL_SENDTO_ITEM), "bob@acme.example");
  EXPECT_EQ(ItemText(warnings[1], MAIL_SENDTO_ITEM), "carol@acme.example");
  EXPECT_EQ(ItemText(warnings[2], MAIL_SENDTO_ITEM), "alice@acme.example");
  EXPECT_EQ(ItemText(warnings[3], MAIL_SENDTO_ITEM), "admin@acme.example,ops@acme.example");
}

// Below debug level 5 only the detail lines are left out: the lookups, the recipients
// checked and the kept lists are written at every level.
TEST_F(RightsHookTest, QuietLevelKeepsAllButTheDetailLines) {
  Arm();
  SetValue("VTDEBUG", "0");
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 10});
  (void)PostMail({.from = "alice@acme.example",
                  .send_to = "bob@acme.example,dave@acme.example",
                  .body_bytes = 20 * 1024});
  const std::string log = ReadFile(Path("vantrel/logs/rights.log"));
  for (const char* line :
       {"User FirstName = ", "User=ALICE@ACME.EXAMPLE emailid is Third Type, Rule is =[",
        "Email ID = BOB@ACME.EXAMPLE Rule = ", "This User Status is Enable",
        "Checking Recipient in SendTo Field", "Checking the Details of User = dave@acme.example",
        "Function IsThisUserReceiveMailMoreThanLimit return TRUE",
        "Function IsThisUserReceiveMailMoreThanLimit return FALSE",
        "- dave@acme.example\r\n", "SendTo modified List above", "Type of Action taken = 0",
        "Orignal Mail Size = 20", "UserWiseSizeRestriction Occur in this EMail!!!"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  for (const char* line : {"Processing Mail", "From Address = ", "SendTo address above",
                           "Before Converting email id", "Free Memory Done for",
                           "X-SizeRestriction Added successfuly"}) {
    EXPECT_EQ(log.find(line), std::string::npos) << line;
  }
}

TEST_F(RightsHookTest, DoNotScanSenderSkipsTheRecipients) {
  Arm();
  AddRule({.email3 = "BOSS@ACME.EXAMPLE", .send_limit = 1, .do_not_scan = "yes"});
  AddRule({.email3 = "BOB@ACME.EXAMPLE", .receive_limit = 1});
  const NOTEID id =
      PostMail({.from = "boss@acme.example", .send_to = "bob@acme.example", .body_bytes = 4096});
  EXPECT_EQ(ItemText(id, kMarkItem), testing_support::kInstallationId);
  EXPECT_EQ(ItemText(id, kDoneItem), "");
  EXPECT_EQ(ItemText(id, MAIL_SENDTO_ITEM), "bob@acme.example");
  EXPECT_TRUE(OtherNotes(id).empty());
}

TEST_F(RightsHookTest, BadInputPassesTheMail) {
  Arm();
  // A From that is only a comment, a long From, and ten thousand recipients with empty
  // entries against a missing rules database.
  std::string many;
  for (int i = 0; i < 10000; ++i) many += (i % 3 == 0 ? std::string(",") : "") + "u" +
                                          std::to_string(i) + "@x.example,";
  NOTEID id = PostMail({.from = "(nobody)", .send_to = "bob@acme.example"});
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  id = PostMail({.from = std::string(2000, 'a') + "@acme.example", .send_to = many});
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  EXPECT_EQ(ItemText(id, kDoneItem), "");
  // A damaged rules database.
  WriteText("domino/data/vtsched.nsf", std::string(8192, '\x01'));
  id = PostMail({.from = "alice@acme.example", .send_to = "bob@acme.example"});
  EXPECT_EQ(ItemText(id, kMarkItem), "");
  const std::string log = ReadFile(Path("vantrel/logs/rights.log"));
  EXPECT_NE(log.find("Unable to Open the DB{vtsched.nsf}"), std::string::npos);
}

TEST_F(RightsHookTest, EntryPointWithoutInstallationInstallsNothing) {
  std::filesystem::remove(Path("vantrel/vantrel.ini"));
  DBHOOKVEC vector = {};
  EXPECT_EQ(EntryPoint(&vector), NOERROR);
  EXPECT_EQ(vector.NoteUpdate, nullptr);
  EXPECT_EQ(vector.NoteOpen, nullptr);
  EXPECT_EQ(vector.Term, nullptr);
  EXPECT_EQ(Term(&vector), NOERROR);
}

TEST_F(RightsHookTest, AdministratorTableHoldsTwentyCutEntries) {
  std::string admins = ",";
  for (int i = 0; i < 25; ++i) admins += "admin" + std::to_string(i) + "@acme.example,,";
  admins += std::string(600, 'z');
  WriteText("vantrel/vantrel.ini", "[General]\r\nAdminEmailId=" + admins + "\r\n");
  FillAdminId(Path("vantrel/vantrel.ini"));
  const std::vector<std::string>& table = CurrentSettings().admins;
  ASSERT_EQ(table.size(), 20u);
  EXPECT_EQ(table.front(), "admin0@acme.example");
  EXPECT_EQ(table.back(), "admin19@acme.example");
  CurrentSettings().admins.clear();
  WriteText("vantrel/vantrel.ini", "[General]\r\nAdminEmailId=" + std::string(600, 'z') + "\r\n");
  FillAdminId(Path("vantrel/vantrel.ini"));
  ASSERT_EQ(CurrentSettings().admins.size(), 1u);
  EXPECT_EQ(CurrentSettings().admins[0].size(), 517u);
}

}  // namespace
}  // namespace rights
