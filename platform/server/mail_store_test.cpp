// mail_store_test.cpp - the task list of nserver, the stored mail note and the pickup
// directory.
#include "platform/server/mail_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/server/directory.h"
#include "platform/server/pickup.h"
#include "platform/server/server_test_support.h"
#include "platform/server/task_table.h"

namespace vtserver {
namespace {

TEST(TaskProgramsTest, BuiltInTasksFirstAndOnlyPlainNames) {
  EXPECT_EQ(TaskPrograms(""), (std::vector<std::string>{"nrouter", "nsmtp"}));
  EXPECT_EQ(TaskPrograms(" Router, SMTP ,vtrunner.exe,vtrunner,../evil,/bin/sh, ,replica"),
            (std::vector<std::string>{"nrouter", "nsmtp", "vtrunner", "replica"}));
}

class MailStoreTest : public vtserver_test::ServerRootTest {};

// The box stays open between mails; a box file replaced meanwhile gets the next mail, and
// the one it replaced none.
TEST_F(MailStoreTest, NextMailGoesIntoTheBoxFileThatIsThereNow) {
  auto store = [](const char* subject) {
    NOTEID id = 0;
    const std::string text = std::string("Subject: ") + subject + "\r\n\r\nText\r\n";
    EXPECT_EQ(StoreInboundMail("mail.box", text, {"bob@example.com"}, nullptr, &id), NOERROR);
    return id;
  };
  auto count = [] {
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
    int notes = 0;
    auto counter = [](void* counted, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS {
      ++*static_cast<int*>(counted);
      return NOERROR;
    };
    EXPECT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, counter,
                        &notes, nullptr),
              NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return notes;
  };
  store("first");
  store("second");
  EXPECT_EQ(count(), 2);
  const std::string box = root_ + "/domino/data/mail.box";
  std::filesystem::rename(box, box + ".old");
  std::filesystem::remove(box + "-wal");
  std::filesystem::remove(box + "-shm");
  ASSERT_EQ(NSFDbCreate("mail.box", DBCLASS_NOTEFILE, TRUE), NOERROR);
  store("third");
  EXPECT_EQ(count(), 1);
  CloseMailBoxes();
  store("fourth");
  EXPECT_EQ(count(), 2);
}

TEST_F(MailStoreTest, StoredNoteCarriesTheMailItems) {
  const std::string text =
      "From: Alice <alice@example.com>\r\nTo: Bob <bob@example.com>\r\nCc: carol@example.com\r\n"
      "Subject: Hello\r\nDate: Tue, 1 Dec 2026 10:00:00 +0100\r\nX-Mailer: test/1\r\n"
      "\r\nBody line\r\n";
  const std::string sender = "alice@example.com";
  NOTEID id = 0;
  ASSERT_EQ(StoreInboundMail("mail.box", text, {"bob@example.com"}, &sender, &id), NOERROR);
  ASSERT_NE(id, 0u);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
  char value[256];
  NSFItemGetText(note, "Form", value, sizeof value);
  EXPECT_STREQ(value, "Memo");
  NSFItemGetText(note, "From", value, sizeof value);
  EXPECT_STREQ(value, "Alice <alice@example.com>");
  NSFItemGetText(note, "Subject", value, sizeof value);
  EXPECT_STREQ(value, "Hello");
  NSFItemGetText(note, "$Mailer", value, sizeof value);
  EXPECT_STREQ(value, "test/1");
  NSFItemGetText(note, kOriginatorItem, value, sizeof value);
  EXPECT_STREQ(value, "alice@example.com");
  EXPECT_EQ(NSFItemGetTextListEntries(note, "SendTo"), 1);
  EXPECT_EQ(NSFItemGetTextListEntries(note, "CopyTo"), 1);
  EXPECT_EQ(NSFItemGetTextListEntries(note, "Recipients"), 1);  // the envelope, not the header
  TIMEDATE posted;
  ASSERT_TRUE(NSFItemGetTime(note, "PostedDate", &posted));
  EXPECT_EQ(VtTimeDateToUnix(posted), 1796115600LL);
  char body[512];
  DWORD body_len = 0;
  ASSERT_EQ(VtNoteGetMimeBody(note, "Body", body, sizeof body, &body_len), NOERROR);
  EXPECT_NE(std::string(body, body_len).find("\r\nBody line\r\n"), std::string::npos);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(MailStoreTest, RecipientsFallBackToHeadersAndAMailWithoutAnyIsRefused) {
  NOTEID id = 0;
  ASSERT_EQ(StoreInboundMail("mail.box", "To: a@x\r\nBcc: \"B\" <b@x>\r\n\r\n", {}, nullptr, &id),
            NOERROR);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR);
  char value[64];
  ASSERT_EQ(NSFItemGetTextListEntries(note, "Recipients"), 2);
  NSFItemGetTextListEntry(note, "Recipients", 1, value, sizeof value);
  EXPECT_STREQ(value, "b@x");
  EXPECT_FALSE(NSFItemIsPresent(note, kOriginatorItem, 14));  // no envelope: no originator
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
  EXPECT_EQ(StoreInboundMail("mail.box", "Subject: nobody\r\n\r\n", {}, nullptr, &id),
            ERR_BAD_PARAM);
  EXPECT_EQ(Count("mail.box"), 1u);
}

TEST_F(MailStoreTest, PickupTakesFilesInArrivalOrderAndSetsAsideWhatCannotBeStored) {
  namespace fs = std::filesystem;
  const std::string pickup = root_ + "/pickup";
  fs::create_directories(pickup);
  auto drop = [&](const std::string& name, const std::string& text, int age_s) {
    std::ofstream(pickup + "/" + name) << text;
    fs::last_write_time(pickup + "/" + name,
                        fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
  };
  drop("z-first", "1", 30);
  drop("a-second", "2", 20);
  drop("norecipient", "x", 10);
  drop("big", std::string(100, 'x'), 5);
  drop(".incoming", "skip", 40);
  std::vector<std::string> order;
  auto store = [&](const std::string& path, std::string* reason) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text == "x") {
      *reason = "no recipient";
      return PickupResult::kRefused;
    }
    order.push_back(text);
    return PickupResult::kStored;
  };
  std::vector<std::string> log;
  PickupCounts counts = ScanPickupDirectory(pickup, 50, store,
                                            [&](const std::string& line) { log.push_back(line); });
  EXPECT_EQ(order, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(counts.stored, 2);
  EXPECT_EQ(counts.refused, 2);
  EXPECT_FALSE(fs::exists(pickup + "/z-first"));
  EXPECT_TRUE(fs::exists(pickup + "/norecipient.bad"));
  EXPECT_TRUE(fs::exists(pickup + "/big.bad"));
  EXPECT_TRUE(fs::exists(pickup + "/.incoming"));
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(MailStoreTest, PickupStopsAtABusyStoreSoLaterFilesDoNotOvertake) {
  namespace fs = std::filesystem;
  const std::string pickup = root_ + "/pickup";
  fs::create_directories(pickup);
  std::ofstream(pickup + "/one") << "1";
  fs::last_write_time(pickup + "/one", fs::file_time_type::clock::now() - std::chrono::seconds(9));
  std::ofstream(pickup + "/two") << "2";
  int calls = 0;
  auto busy = [&](const std::string&, std::string* reason) {
    ++calls;
    *reason = "busy";
    return PickupResult::kRetry;
  };
  PickupCounts counts = ScanPickupDirectory(pickup, 1000, busy, [](const std::string&) {});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(counts.retried, 1);
  EXPECT_TRUE(fs::exists(pickup + "/one"));
  EXPECT_TRUE(fs::exists(pickup + "/two"));
}

TEST_F(MailStoreTest, DirectoryFindsPeopleByEveryNameAndSeesNewOnes) {
  Directory directory("names.nsf");
  ASSERT_EQ(directory.Reload(), NOERROR);
  EXPECT_EQ(directory.PersonCount(), 3u);
  for (const char* name : {"CN=Alice Smith/O=Example", "alice smith", "ALICE@example.com",
                           "\"Smith, Alice\" <alice@example.com>", "Alice"}) {
    std::optional<Person> person = directory.Lookup(name);
    ASSERT_TRUE(person.has_value()) << name;
    EXPECT_EQ(person->mail_file, "mail/alice.nsf") << name;
  }
  EXPECT_FALSE(directory.Lookup("alice@elsewhere.test").has_value());
  EXPECT_FALSE(directory.Lookup("").has_value());
  ASSERT_TRUE(directory.Lookup("carol").has_value());
  EXPECT_EQ(directory.Lookup("carol")->mail_file, "");

  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
  AddPerson(db, "Dave Brown", "dave", "mail/dave.nsf");
  EXPECT_EQ(NSFDbClose(db), NOERROR);
  ASSERT_EQ(directory.Reload(), NOERROR);
  EXPECT_TRUE(directory.Lookup("dave@example.com").has_value());
}

}  // namespace
}  // namespace vtserver
