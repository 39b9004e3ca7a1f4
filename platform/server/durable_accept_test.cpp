// durable_accept_test.cpp - "250" only for a mail synced to the disk: SMTP sessions that
// accept at once share syncs, and a refused sync is a temporary failure that stores nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/sync_test_support.h"
#include "platform/server/mail_store.h"
#include "platform/server/pickup.h"
#include "platform/server/server_test_support.h"
#include "platform/server/smtp_session.h"

namespace vtserver {
namespace {

class DurableAcceptTest : public vtserver_test::ServerRootTest {
 protected:
  void TearDown() override {
    CloseMailBoxes();
    ServerRootTest::TearDown();
  }

  // One SMTP conversation sending the mails of subjects, stored as nsmtp stores them; the
  // replies to the end of each message's data, in order.
  static std::vector<std::string> Send(const std::vector<std::string>& subjects) {
    SmtpSession session("mail1.example.com", SmtpLimits{},
                        MemorySink([](const SmtpEnvelope& envelope, std::string_view text,
                                      std::string* id_r) {
                          NOTEID id = 0;
                          bool stored = StoreInboundMail("mail.box", text, envelope.recipients,
                                                         &envelope.sender, &id) == NOERROR;
                          *id_r = std::to_string(id);
                          return stored;
                        }));
    std::vector<std::string> replies;
    (void)session.OnLine("EHLO client.example.com", false);
    for (const std::string& subject : subjects) {
      (void)session.OnLine("MAIL FROM:<alice@example.com>", false);
      (void)session.OnLine("RCPT TO:<bob@example.com>", false);
      (void)session.OnLine("DATA", false);
      for (const std::string& line : {"Subject: " + subject, std::string(), std::string("Hi.")}) {
        (void)session.OnLine(line, false);
      }
      replies.push_back(session.OnLine(".", false).substr(0, 3));
    }
    return replies;
  }

  std::vector<std::string> BoxSubjects() {
    std::vector<std::string> subjects;
    for (const Doc& doc : Docs("mail.box")) subjects.push_back(doc.subject);
    return subjects;
  }

  FakeDisk disk_;
};

TEST_F(DurableAcceptTest, SessionsAcceptingAtOnceShareSyncs) {
  disk_.delay_ms = 20;
  constexpr int kSessions = 10;
  constexpr int kMails = 5;
  std::atomic<int> accepted{0};
  std::vector<std::thread> sessions;
  for (int s = 0; s < kSessions; ++s) {
    sessions.emplace_back([s, &accepted] {
      if (NotesInitThread() != NOERROR) return;
      std::vector<std::string> subjects;
      for (int m = 0; m < kMails; ++m) {
        subjects.push_back("session " + std::to_string(s) + " mail " + std::to_string(m));
      }
      for (const std::string& reply : Send(subjects)) accepted += reply == "250" ? 1 : 0;
      NotesTermThread();
    });
  }
  for (std::thread& session : sessions) session.join();
  EXPECT_EQ(accepted.load(), kSessions * kMails);
  EXPECT_EQ(BoxSubjects().size(), static_cast<size_t>(kSessions * kMails));
  const int syncs = disk_.Count("mail.box-wal");
  EXPECT_GE(syncs, 1);
  EXPECT_LT(syncs, kSessions * kMails / 2) << "sessions did not share their syncs";
}

// The client is told 451 and tries again: the mail is then in the box once.
TEST_F(DurableAcceptTest, RefusedSyncAnswers451AndStoresNothingTwice) {
  disk_.fail = true;
  EXPECT_EQ(Send({"first try"}), std::vector<std::string>{"451"});
  EXPECT_TRUE(BoxSubjects().empty());
  disk_.fail = false;
  EXPECT_EQ(Send({"first try"}), std::vector<std::string>{"250"});
  EXPECT_EQ(BoxSubjects(), std::vector<std::string>{"first try"});
}

// A picked-up file stays until its mail is synced, and is stored once.
TEST_F(DurableAcceptTest, PickupKeepsTheFileUntilItsMailIsSynced) {
  const std::string pickup = root_ + "/domino/data/pickup";
  std::filesystem::create_directories(pickup);
  std::ofstream(pickup + "/one.eml") << "To: bob@example.com\r\nSubject: picked up\r\n\r\nHi.\r\n";
  auto store = [](const std::string& path, std::string*) {
    NOTEID id = 0;
    return StoreInboundMailFile("mail.box", path, {}, nullptr, &id) == NOERROR
               ? PickupResult::kStored
               : PickupResult::kRetry;
  };
  auto log = [](const std::string&) {};
  disk_.fail = true;
  EXPECT_EQ(ScanPickupDirectory(pickup, 1 << 20, store, log).retried, 1);
  EXPECT_TRUE(std::filesystem::exists(pickup + "/one.eml"));
  EXPECT_TRUE(BoxSubjects().empty());
  disk_.fail = false;
  EXPECT_EQ(ScanPickupDirectory(pickup, 1 << 20, store, log).stored, 1);
  EXPECT_FALSE(std::filesystem::exists(pickup + "/one.eml"));
  EXPECT_EQ(BoxSubjects(), std::vector<std::string>{"picked up"});
}

}  // namespace
}  // namespace vtserver
