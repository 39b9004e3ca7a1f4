// Warning mail bodies word for word, the warning notes, and recipient rewriting.
#include <string>

#include "rights/rights.h"
#include "rights/test_support.h"

namespace rights {
namespace {

using testing_support::Mail;
using testing_support::RightsTest;

const std::string kClosing =
    "\r\nSubject of the Mail      : Big file\r\n"
    "\r\n=============================================================\r\n\r\n\r\n"
    "Use  Vantrel on your  EMail  Servers  and  Pellorin on your\r\n"
    "Windows-based PCs and Servers for maximum protection from\r\n"
    "Internet-borne viruses.\r\n";
const std::string kSeparator =
    "\r\n=============================================================\r\n";

WarningInfo SampleMail() {
  WarningInfo info;
  info.sender = "alice@acme.example";
  info.subject = "Big file";
  info.mail_size = 250;
  info.send_limit = 100;
  info.send_action = kActionForward;
  info.send_to = "bob@acme.example, carol@acme.example";
  info.blind_copy_to = "dave@acme.example";
  info.rejected.push_back({.address = "bob@acme.example", .mail_size = 250,
                           .receive_action = kActionDelete, .receive_limit = 50});
  info.rejected.push_back({.address = "carol@acme.example", .mail_size = 250,
                           .receive_action = kActionForward, .receive_limit = 80});
  return info;
}

TEST(RightsBodyText, SendCaseTexts) {
  const WarningInfo info = SampleMail();
  const std::string recipients =
      "\tbob@acme.example\r\n\tcarol@acme.example\r\n\tdave@acme.example\r\n";
  EXPECT_EQ(BodyText(info, kWarnSendSender, nullptr),
            "The following email you sent was not delivered to the \r\nintended recipients as "
            "it had size restriction in it!\r\n"
            "you can't send mail more than 100 KB. Your mail size is 250 KB(appr.)\r\n"
            "\r\nAction taken: The email was Forwarded to Adminstrator and Mail has been "
            "Deleted\r\n" +
                kSeparator + "The Mail came from    : alice@acme.example\r\n" +
                "The Mail recipient       : \r\n" + recipients + kClosing);
  EXPECT_EQ(BodyText(info, kWarnSendAdmin, nullptr),
            "The following email had size restriction in it!\r\n"
            "User alice@acme.example can't send mail more than 100 KB,but his mail size is 250 "
            "KB(appr.)\r\n"
            "\r\nAction taken: The email was Forwarded to Adminstrator\r\n" +
                kSeparator + "The Mail came from    : alice@acme.example\r\n" +
                "The Mail recipient       :\r\n " + recipients + kClosing);
  WarningInfo deleted = info;
  deleted.send_action = kActionDelete;
  EXPECT_NE(BodyText(deleted, kWarnSendAdmin, nullptr)
                .find("\r\nAction taken: The email was Deleted\r\n"),
            std::string::npos);
}

TEST(RightsBodyText, ReceiveCaseTexts) {
  const WarningInfo info = SampleMail();
  EXPECT_EQ(BodyText(info, kWarnReceiveRecipient, &info.rejected[1]),
            "The following email alice@acme.example sent was not delivered to the you\r\nit had "
            "size restrication in it!\r\n"
            "you can't Receive mail more than 80 KB. Your mail size is 250 KB(appr.)\r\n"
            "\r\nAction taken: The email was Forwarded to Adminstrator and Mail has been "
            "Deleted\r\n" +
                kSeparator + "The Mail came from    : alice@acme.example\r\n" +
                "The Mail recipient       : You" + kClosing);
  const std::string expected =
      "The following email you sent was not delivered to the \r\nintended recipients as it "
      "had size restrication in it!\r\n" +
      kSeparator + "The Mail came from    : alice@acme.example\r\n\r\n" +
      "User bob@acme.example Not able to receive More than 50MB mails, and Mail has been "
      "Deleted\r\n"
      "User carol@acme.example Not able to receive More than 80MB mails, and copy of mail "
      "Forwarded to Adminstrator and original Mail has been Deleted\r\n" +
      kClosing;
  EXPECT_EQ(BodyText(info, kWarnReceiveSender, nullptr), expected);
  EXPECT_EQ(BodyText(info, kWarnReceiveAdmin, nullptr), expected);
}

class RightsWarningsTest : public RightsTest {
 protected:
  void SetUp() override {
    RightsTest::SetUp();
    Settings& settings = CurrentSettings();
    settings = Settings{};
    settings.installation_id = testing_support::kInstallationId;
    settings.admins = {"admin@acme.example", "ops@acme.example"};
  }
};

TEST_F(RightsWarningsTest, WarningMailsGoToEachAddresseeWithTheMark) {
  WarningInfo info = SampleMail();
  info.mailbox_path = "mail.box";
  ASSERT_EQ(GenerateWarningMessage(&info, false, true, true, true), NOERROR);
  const std::vector<NOTEID> notes = OtherNotes(0);
  ASSERT_EQ(notes.size(), 4u);  // sender, administrators, bob, carol
  EXPECT_EQ(ItemText(notes[0], MAIL_SENDTO_ITEM), "alice@acme.example");
  EXPECT_EQ(ItemText(notes[1], MAIL_SENDTO_ITEM), "admin@acme.example,ops@acme.example");
  EXPECT_EQ(ItemText(notes[2], MAIL_SENDTO_ITEM), "bob@acme.example");
  EXPECT_EQ(ItemText(notes[3], MAIL_SUBJECT_ITEM),
            "Size Restriction Warning from Vantrel to Mail-Recipient!");
  for (NOTEID id : notes) {
    EXPECT_EQ(ItemText(id, kMarkItem), testing_support::kInstallationId);
    EXPECT_EQ(ItemText(id, MAIL_FROM_ITEM), "admin@acme.example");
    EXPECT_EQ(ItemText(id, "Form"), "Memo");
  }
  // Two administrators: the recipients list holds both.
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, notes[1], OPEN_DEFAULT, &note), NOERROR);
  EXPECT_EQ(NSFItemGetTextListEntries(note, MAIL_RECIPIENTS_ITEM), 2);
  (void)NSFNoteClose(note);
  (void)NSFDbClose(db);
  // No scratch file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(Path("windows"))) {
    if (entry.path().filename() == "win.ini") continue;
    EXPECT_TRUE(entry.is_directory()) << entry.path();
  }
}

TEST_F(RightsWarningsTest, NoAdministratorMeansNoWarning) {
  CurrentSettings().admins.clear();
  WarningInfo info = SampleMail();
  info.mailbox_path = "mail.box";
  EXPECT_NE(GenerateWarningMessage(&info, true, true, true, false), NOERROR);
  EXPECT_TRUE(OtherNotes(0).empty());
  EXPECT_EQ(GenerateWarningMessage(nullptr, true, true, false, false), 1);
  EXPECT_EQ(ComposeWarningMessage("mail.box", "a@b", "admin@acme.example", "", "x", false), 1);
}

TEST_F(RightsWarningsTest, ChangeRecipientsKeepsOnlyTheKeptAddresses) {
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  FillMail(note, {.from = "x@y", .send_to = "a@x,b@x", .copy_to = "c@x", .blind_copy_to = "d@x"});
  ASSERT_EQ(NSFItemCreateTextList(note, MAIL_RECIPIENTS_ITEM, "old@x", MAXWORD), NOERROR);
  ASSERT_EQ(ChangeMailReceipientHeader(note, "a@x", "", "d@x"), NOERROR);
  char text[256] = {};
  NSFItemGetText(note, MAIL_SENDTO_ITEM, text, sizeof(text));
  EXPECT_STREQ(text, "a@x");
  NSFItemGetText(note, MAIL_COPYTO_ITEM, text, sizeof(text));
  EXPECT_STREQ(text, "");
  NSFItemGetText(note, MAIL_BLINDCOPYTO_ITEM, text, sizeof(text));
  EXPECT_STREQ(text, "d@x");
  ASSERT_EQ(NSFItemGetTextListEntries(note, MAIL_RECIPIENTS_ITEM), 2);
  NSFItemGetTextListEntry(note, MAIL_RECIPIENTS_ITEM, 0, text, sizeof(text));
  EXPECT_STREQ(text, "a@x");
  NSFItemGetTextListEntry(note, MAIL_RECIPIENTS_ITEM, 1, text, sizeof(text));
  EXPECT_STREQ(text, "d@x");
  EXPECT_EQ(AddReceipentsField(note, "", true), 1);
  (void)NSFNoteClose(note);
  (void)NSFDbClose(db);
}

}  // namespace
}  // namespace rights
