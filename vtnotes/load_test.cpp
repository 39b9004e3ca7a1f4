// load_test.cpp - many mails through several router threads with the engine answering:
// every mail is delivered or deleted as its verdict says, and nothing of a job is left.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "vtnotes/hook_test_support.h"
#include "vtnotes/spool.h"

namespace vtnotes {
namespace {

using testing_support::RouterTest;

// VT_LOAD_MAILS raises the count (2000 for the full run); the default keeps the suite quick
// under the sanitizers.
int MailCount() {
  const char* text = std::getenv("VT_LOAD_MAILS");
  int count = text ? std::atoi(text) : 0;
  return count > 0 ? count : 200;
}

class LoadTest : public RouterTest {};

TEST_F(LoadTest, EveryMailIsAccountedForAndNoJobIsLeft) {
  // Subjects say what the engine answers: "d" delete, "c" clean the body, else clean.
  StartEngine([](const std::string& job, const std::string& in_job, const std::string& out_job) {
    std::string header = testing_support::RootTest::ReadFile(in_job + "/0.hdr");
    if (header.find("Subject: d") != std::string::npos) {
      testing_support::RootTest::WriteFile(out_job + "/delete.txt", "");
    } else if (header.find("Subject: c") != std::string::npos) {
      testing_support::RootTest::WriteFile(out_job + "/clean.bdy", "Cleaned\r\n");
      testing_support::RootTest::WriteFile(out_job + "/Scanover.txt", "");
    }
    testing_support::RootTest::WriteFile(out_job + "/r.hd0",
                                         "Body: " + job + "\\clean.bdy\r\n");
  });
  WriteProductValue("TimeOut", "60");
  WriteProductValue("VTDEBUG", "0");
  StartRouter();

  const int mails = MailCount();
  std::vector<NOTEID> ids;
  int expected_deleted = 0;
  for (int i = 0; i < mails; ++i) {
    const char* kind = i % 4 == 0 ? "d" : i % 4 == 1 ? "c" : "n";
    expected_deleted += i % 4 == 0;
    ids.push_back(PutMail(i % 2 ? "mail2.box" : "mail.box", std::string(kind) + std::to_string(i)));
  }

  std::atomic<int> next{0};
  std::atomic<int> delivered{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> routers;
  for (int t = 0; t < 4; ++t) {
    routers.emplace_back([&] {
      ASSERT_EQ(NotesInitThread(), NOERROR);
      for (int i = next++; i < mails; i = next++) {
        const char* box = i % 2 ? "mail2.box" : "mail.box";
        // The router opens a mail twice: to route it, and to deliver the opened copy.
        STATUS first = OpenAsRouter(box, ids[i]).status;
        STATUS second = OpenAsRouter(box, ids[i]).status;
        EXPECT_EQ(first, second) << i;
        if (first == kStatusMarkedForDeletion) {
          ++refused;
          continue;
        }
        EXPECT_EQ(first, NOERROR) << i;
        ++delivered;
        DBHANDLE db = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen(box, &db), NOERROR);
        EXPECT_EQ(NSFNoteDelete(db, ids[i], UPDATE_FORCE), NOERROR);
        (void)NSFDbClose(db);
      }
      NotesTermThread();
    });
  }
  for (auto& router : routers) router.join();
  EXPECT_EQ(refused.load(), expected_deleted);
  EXPECT_EQ(delivered.load(), mails - expected_deleted);

  DeleteMarkedMails();
  EXPECT_EQ(CountNotes("mail.box"), 0);
  EXPECT_EQ(CountNotes("mail2.box"), 0);
  {
    foundation::MutexHold hold(State().mailbox_mutex.get());
    EXPECT_EQ(State().deletion_list.Count(), 0);
  }
  {
    // The deleted mails stay remembered, refused to any late open, until the idle sweep.
    foundation::MutexHold hold(State().g_mutex.get());
    EXPECT_EQ(State().job_list.Size(), static_cast<std::size_t>(expected_deleted));
  }
  Sleep(5);
  SweepIdleJobs(1);
  {
    foundation::MutexHold hold(State().g_mutex.get());
    EXPECT_EQ(State().job_list.Size(), 0u);
  }
  EXPECT_TRUE(std::filesystem::is_empty(In()));
  EXPECT_TRUE(std::filesystem::is_empty(Out()));
  for (int i : {0, 1, mails - 1}) {
    std::string name = JobMutexName(MakeJobId(i % 2 ? "2" : "", ids[i]));
    HANDLE left = OpenMutex(SYNCHRONIZE, FALSE, name.c_str());
    EXPECT_EQ(left, nullptr) << name;
    if (left) CloseHandle(left);
  }
}

}  // namespace
}  // namespace vtnotes
