// router_process_test.cpp - nrouter as a process of its own, with the test hook library
// loaded through notes.ini: refused opens retried, the hooked copy delivered, deletions seen
// by the update hook, a note written by a hook routed too, a vanished note gone, reports for
// recipients that cannot be served, and a mail database locked for a while.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/server/mail_store.h"
#include "platform/server/server_test_support.h"

namespace vtserver {
namespace {

class RouterProcessTest : public vtserver_test::ServerRootTest {
 protected:
  void Store(const std::string& from, const std::vector<std::string>& to,
             const std::string& subject, const char* box = "mail.box") {
    std::string text = "From: " + from + "\r\nTo: " + to.front() + "\r\nSubject: " + subject +
                       "\r\n\r\nHello.\r\n";
    NOTEID id = 0;
    ASSERT_EQ(StoreInboundMail(box, text, to, &from, &id), NOERROR);
  }

  std::vector<std::string> HookLog(const std::string& word) const {
    std::istringstream in(ReadRootFile("hook.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (line.compare(0, word.size(), word) == 0) lines.push_back(line);
    }
    return lines;
  }

  bool BoxesEmpty() { return Count("mail.box") == 0 && Count("mail2.box") == 0; }

  static const Doc* Find(const std::vector<Doc>& docs, const std::string& subject) {
    for (const Doc& doc : docs) {
      if (doc.subject == subject) return &doc;
    }
    return nullptr;
  }
};

TEST_F(RouterProcessTest, HooksShapeWhatIsDeliveredAndSeeEveryDeletion) {
  WriteNotesIni(std::string("NSF_HOOKS=") + VT_ROUTER_TEST_HOOK + "\nRouterThreads=2\n");
  Store("alice@example.com", {"bob@example.com"}, "plain");
  Store("alice@example.com", {"Bob Jones"}, "please refuse twice");
  Store("alice@example.com", {"bob"}, "change me", "mail2.box");
  Store("bob@example.com", {"alice@example.com"}, "spawn one");
  Store("bob@example.com", {"alice@example.com"}, "vanish now");
  Start("nrouter");

  ASSERT_TRUE(vtserver_test::WaitFor([&] { return BoxesEmpty() && Count("mail/bob.nsf") == 4; }))
      << ReadRootFile("nrouter.out");
  std::vector<Doc> bob = Docs("mail/bob.nsf");
  ASSERT_NE(Find(bob, "plain"), nullptr);
  ASSERT_NE(Find(bob, "please refuse twice"), nullptr);  // full name resolved, after retries
  ASSERT_NE(Find(bob, "change me"), nullptr);            // short name, from mail2.box
  EXPECT_EQ(Find(bob, "change me")->hooked, "changed by the open hook");
  EXPECT_EQ(Find(bob, "plain")->hooked, "");
  EXPECT_NE(Find(bob, "written by the hook"), nullptr);  // the hook's own note was routed

  std::vector<Doc> alice = Docs("mail/alice.nsf");
  EXPECT_NE(Find(alice, "spawn one"), nullptr);
  EXPECT_EQ(Find(alice, "vanish now"), nullptr);
  EXPECT_EQ(alice.size(), 1u);

  // Two refusals, then the open that routes and the one before delivery.
  size_t refused_opens = 0;
  for (const std::string& line : HookLog("open ")) {
    if (line.find("please refuse twice") != std::string::npos) ++refused_opens;
  }
  EXPECT_EQ(refused_opens, 4u);
  // Each delivered note left its box through a deletion with the deleted bit and a handle.
  std::vector<std::string> deletions = HookLog("delete ");
  EXPECT_GE(deletions.size(), 5u);
  for (const std::string& line : deletions) {
    EXPECT_NE(line.find(".box "), std::string::npos) << line;
    std::istringstream fields(line);
    std::string word, path, id, flags, handle;
    fields >> word >> path >> id >> flags >> handle;
    EXPECT_NE(std::stoul(flags, nullptr, 16) & 0x8000, 0u) << line;
    EXPECT_EQ(handle, "handle") << line;
  }
  EXPECT_EQ(Stop(children_.front(), 10000), 0);
}

// A mail written into a box is routed when the box changes, long before the next poll.
TEST_F(RouterProcessTest, NewMailIsRoutedWithoutWaitingForThePoll) {
  std::ofstream(root_ + "/domino/notes.ini")
      << "[Notes]\nDirectory=" << root_ << "/domino/data\nServerName=CN=Mail1/O=Example\n"
      << "RouterPollMs=60000\n";
  Store("alice@example.com", {"bob@example.com"}, "first");
  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail/bob.nsf") == 1; }))
      << ReadRootFile("nrouter.out");
  // The router has scanned and now waits out its minute; only the change can wake it.
  Store("alice@example.com", {"bob@example.com"}, "second");
  EXPECT_TRUE(vtserver_test::WaitFor([&] { return Count("mail/bob.nsf") == 2; }, 20000))
      << ReadRootFile("nrouter.out");
}

TEST_F(RouterProcessTest, UnservedRecipientsComeBackAsOneReport) {
  Store("alice@example.com", {"bob@example.com", "nobody@example.com", "carol@example.com"},
        "mixed");
  Store("stranger@elsewhere.test", {"nobody@example.com"}, "from outside");
  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] {
    return BoxesEmpty() && Count("mail/alice.nsf") == 1 && Count("mail/bob.nsf") == 1;
  })) << ReadRootFile("nrouter.out");
  std::vector<Doc> alice = Docs("mail/alice.nsf");
  ASSERT_EQ(alice.size(), 1u);
  const Doc& report = alice.front();
  EXPECT_TRUE(report.is_report);
  EXPECT_EQ(report.form, "NonDelivery Report");
  EXPECT_NE(report.failure_reason.find("nobody@example.com"), std::string::npos);
  EXPECT_NE(report.subject.find("DELIVERY FAILURE"), std::string::npos);
  EXPECT_EQ(Docs("mail/bob.nsf").front().subject, "mixed");
  // The report for the outside sender could not be delivered either and was dropped, not
  // answered with another report.
  std::string log = ReadRootFile("nrouter.out");
  EXPECT_NE(log.find("No mail file is named for user carol@example.com"), std::string::npos);
  EXPECT_NE(log.find("Undeliverable non-delivery report"), std::string::npos) << log;
}

TEST_F(RouterProcessTest, NullSenderGetsNoReportAndMailWithoutRecipientsStays) {
  std::string null_sender;
  NOTEID id = 0;
  ASSERT_EQ(StoreInboundMail("mail.box", "Subject: bounce\r\n\r\n", {"nobody@example.com"},
                             &null_sender, &id),
            NOERROR);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Subject", "dead", MAXWORD), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  ASSERT_EQ(NSFNoteClose(note), NOERROR);
  ASSERT_EQ(NSFDbClose(db), NOERROR);
  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail.box") == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<Doc> left = Docs("mail.box");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.front().subject, "dead");
  EXPECT_NE(ReadRootFile("nrouter.out").find("dead mail"), std::string::npos);
}

TEST_F(RouterProcessTest, UnreadableDirectoryHoldsMailInsteadOfBouncingIt) {
  std::filesystem::rename(root_ + "/domino/data/names.nsf", root_ + "/names.saved");
  Store("alice@example.com", {"bob@example.com"}, "waits for the directory");
  Start("nrouter");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(Count("mail.box"), 1u);
  EXPECT_EQ(Count("mail/alice.nsf"), 0u) << "no report for a directory that was not read";
  std::filesystem::rename(root_ + "/names.saved", root_ + "/domino/data/names.nsf");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail/bob.nsf") == 1 && BoxesEmpty(); }))
      << ReadRootFile("nrouter.out");
  EXPECT_EQ(Count("mail/alice.nsf"), 0u);
}

TEST_F(RouterProcessTest, LockedMailDatabaseIsDeliveredOnceFreed) {
  sqlite3* sql = nullptr;
  ASSERT_EQ(sqlite3_open((root_ + "/domino/data/mail/bob.nsf").c_str(), &sql), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(sql, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  Store("alice@example.com", {"bob@example.com"}, "waits for the lock");
  Store("bob@example.com", {"alice@example.com"}, "not held up");
  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail/alice.nsf") == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(sqlite3_exec(sql, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(sql);
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail/bob.nsf") == 1 && BoxesEmpty(); }))
      << ReadRootFile("nrouter.out");
}

}  // namespace
}  // namespace vtserver
