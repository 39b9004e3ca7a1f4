// router_crash_test.cpp - nrouter killed at the worst moment (after a copy or a report is
// written, before the note leaves its box) and started again: every recipient has the mail
// once and the sender one report, even when the report was routed before the note it
// reports on was handled again; and under nserver, a router that dies after every copy is
// restarted until all the mail is through, each mail once.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "platform/server/mail_store.h"
#include "platform/server/server_test_support.h"

namespace vtserver {
namespace {

class RouterCrashTest : public vtserver_test::ServerRootTest {
 protected:
  void Store(const std::string& from, const std::vector<std::string>& to,
             const std::string& subject) {
    std::string text = "From: " + from + "\r\nTo: " + to.front() + "\r\nSubject: " + subject +
                       "\r\n\r\nHello.\r\n";
    NOTEID id = 0;
    ASSERT_EQ(StoreInboundMail("mail.box", text, to, &from, &id), NOERROR);
  }

  // Runs nrouter until it stops itself after the given write; returns its exit status.
  int RunUntilCrash(const char* moment) {
    setenv("VT_ROUTER_CRASH_AFTER", moment, 1);
    vtserver_test::Child& child = Start("nrouter");
    unsetenv("VT_ROUTER_CRASH_AFTER");
    return Wait(child, 20000);
  }

  size_t Subjects(const char* path, const std::string& subject) {
    std::vector<Doc> docs = Docs(path);
    return static_cast<size_t>(std::count_if(
        docs.begin(), docs.end(), [&](const Doc& doc) { return doc.subject == subject; }));
  }
};

TEST_F(RouterCrashTest, CopyWrittenBeforeTheCrashIsNotWrittenAgain) {
  WriteNotesIni("RouterThreads=1\n");
  Store("carol@example.com", {"alice@example.com", "bob@example.com"}, "to both");
  Store("alice@example.com", {"bob@example.com"}, "waiting behind");
  ASSERT_EQ(RunUntilCrash("copy"), 3) << ReadRootFile("nrouter.out");
  // One recipient was served, the note is still in the box.
  EXPECT_EQ(Subjects("mail/alice.nsf", "to both") + Subjects("mail/bob.nsf", "to both"), 1u);
  EXPECT_EQ(Count("mail.box"), 2u);

  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail.box") == 0; }))
      << ReadRootFile("nrouter.out");
  EXPECT_EQ(Subjects("mail/alice.nsf", "to both"), 1u);
  EXPECT_EQ(Subjects("mail/bob.nsf", "to both"), 1u);
  EXPECT_EQ(Subjects("mail/bob.nsf", "waiting behind"), 1u);
  EXPECT_NE(ReadRootFile("nrouter.out").find("not delivered again"), std::string::npos);
}

TEST_F(RouterCrashTest, ReportWrittenBeforeTheCrashIsNotSentAgain) {
  WriteNotesIni("RouterThreads=2\n");
  Store("alice@example.com", {"bob@example.com", "nobody@example.com"}, "half known");
  ASSERT_EQ(RunUntilCrash("report"), 3) << ReadRootFile("nrouter.out");
  EXPECT_EQ(Count("mail.box"), 2u);  // the mail and its report

  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail.box") == 0; }))
      << ReadRootFile("nrouter.out");
  EXPECT_EQ(Subjects("mail/bob.nsf", "half known"), 1u);
  std::vector<Doc> alice = Docs("mail/alice.nsf");
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_TRUE(alice.front().is_report);
}

TEST_F(RouterCrashTest, ReportAlreadyRoutedToTheSenderIsNotSentAgain) {
  Store("alice@example.com", {"nobody@example.com"}, "unknown only");
  ASSERT_EQ(RunUntilCrash("report"), 3) << ReadRootFile("nrouter.out");
  // Route the report by hand, as a router thread that reached it before the mail would:
  // into the sender's mail file, then out of the box.
  std::vector<Doc> box = Docs("mail.box");
  ASSERT_EQ(box.size(), 2u);
  auto report = std::find_if(box.begin(), box.end(), [](const Doc& doc) { return doc.is_report; });
  ASSERT_NE(report, box.end());
  DBHANDLE box_db = NULLHANDLE, alice_db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &box_db), NOERROR);
  ASSERT_EQ(NSFDbOpen("mail/alice.nsf", &alice_db), NOERROR);
  NOTEHANDLE note = NULLHANDLE, copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(box_db, report->id, 0, &note), NOERROR);
  ASSERT_EQ(NSFNoteCopy(note, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &alice_db);
  EXPECT_EQ(NSFNoteUpdate(copy, 0), NOERROR);
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFNoteDelete(box_db, report->id, 0), NOERROR);
  EXPECT_EQ(NSFDbClose(alice_db), NOERROR);
  EXPECT_EQ(NSFDbClose(box_db), NOERROR);

  Start("nrouter");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail.box") == 0; }))
      << ReadRootFile("nrouter.out");
  EXPECT_EQ(Count("mail/alice.nsf"), 1u);
  EXPECT_NE(ReadRootFile("nrouter.out").find("already sent"), std::string::npos);
}

TEST_F(RouterCrashTest, ServerRestartsARouterThatDiesAfterEveryCopyUntilAllIsDelivered) {
  WriteNotesIni("TaskRestartDelayMs=100\nTaskRestartMaxDelayMs=200\nRouterThreads=2\n");
  Store("carol@example.com", {"alice@example.com", "bob@example.com"}, "to both");
  Store("alice@example.com", {"bob@example.com"}, "to bob");
  Store("alice@example.com", {"nobody@example.com"}, "to nobody");
  setenv("VT_ROUTER_CRASH_AFTER", "copy", 1);
  vtserver_test::Child& server = Start("nserver");
  unsetenv("VT_ROUTER_CRASH_AFTER");
  ASSERT_TRUE(vtserver_test::WaitFor([&] { return Count("mail.box") == 0; }, 30000))
      << ReadRootFile("domino/console.log");
  EXPECT_EQ(Stop(server, 20000), 0);
  EXPECT_EQ(Subjects("mail/alice.nsf", "to both"), 1u);
  EXPECT_EQ(Subjects("mail/bob.nsf", "to both"), 1u);
  EXPECT_EQ(Subjects("mail/bob.nsf", "to bob"), 1u);
  std::vector<Doc> alice = Docs("mail/alice.nsf");
  EXPECT_EQ(std::count_if(alice.begin(), alice.end(), [](const Doc& doc) { return doc.is_report; }),
            1);
  EXPECT_EQ(alice.size(), 2u);
  EXPECT_NE(ReadRootFile("domino/console.log").find("Task nrouter restarted"), std::string::npos);
}

}  // namespace
}  // namespace vtserver
