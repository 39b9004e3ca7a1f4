// deletion_test.cpp - the DeletionList, the adaptive time-out, the job release and the
// sweep of idle jobs.
#include <gtest/gtest.h>

#include "vtnotes/hook_test_support.h"
#include "vtnotes/job_list.h"
#include "vtnotes/spool.h"

namespace vtnotes {
namespace {

using testing_support::RouterTest;

TEST(DeletionListTest, EntriesAndTheSearchForTheNext) {
  EXPECT_EQ(DeletionList::EntryText("2", 0x8F6), "2-2294");
  EXPECT_EQ(DeletionList::EntryText("", 0x8F6), "0-2294");
  DeletionList list;
  ASSERT_TRUE(list.Add("bad"));
  ASSERT_TRUE(list.Add("1-"));
  ASSERT_TRUE(list.Add("0-2294"));
  ASSERT_TRUE(list.Add("10-7"));
  EXPECT_EQ(list.Count(), 4);
  DeletionList::Next next = list.FindNext(-1);  // the malformed slots are passed over
  EXPECT_EQ(next.slot, 2);
  EXPECT_EQ(next.note_id, 2294u);
  EXPECT_EQ(next.mailbox_number, "0");
  next = list.FindNext(next.slot);
  EXPECT_EQ(next.mailbox_number, "10");
  EXPECT_EQ(list.FindNext(next.slot).note_id, 0u);
  list.Clear(2);
  list.Clear(2);  // a free slot is not counted twice
  EXPECT_EQ(list.Count(), 3);
  ASSERT_TRUE(list.Add("5-5"));
  EXPECT_EQ(list.Slot(2), "5-5");  // the first free slot is reused
}

TEST(DeletionListTest, NoteIdZeroEndsTheRound) {
  DeletionList list;
  ASSERT_TRUE(list.Add("2-0"));
  ASSERT_TRUE(list.Add("2-9"));
  EXPECT_EQ(list.FindNext(-1).note_id, 0u);
  EXPECT_EQ(list.Count(), 2);
}

TEST(DeletionListTest, FullTableRefusesAfterItsRetries) {
  DeletionList list;
  for (int i = 0; i < DeletionList::kSlots; ++i) ASSERT_TRUE(list.Add("0-" + std::to_string(i + 1)));
  const DWORD start = GetTickCount();
  EXPECT_FALSE(list.Add("0-99999"));
  EXPECT_GE(GetTickCount() - start, 900u);
  EXPECT_EQ(list.Count(), DeletionList::kSlots);
}

class TimeoutTest : public RouterTest {
 protected:
  void SetBase(long base_ms) {
    State().base_timeout_ms = base_ms;
    State().current_timeout_ms = base_ms;
    State().timeout_ceiling_ms = base_ms + kCeilingExtraMs;
  }
};

TEST_F(TimeoutTest, TimeOutsLengthenAndAnswersShortenTheWait) {
  SetBase(120000);
  for (int i = 0; i < 3; ++i) LengthenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 210000);
  for (int i = 0; i < 3; ++i) ShortenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 120000);
  ShortenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 120000);

  SetBase(20000);
  LengthenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 50000);
  ShortenTimeout();  // not above 50 s: stays until a reload
  EXPECT_EQ(State().current_timeout_ms.load(), 50000);
}

TEST_F(TimeoutTest, TenTimeOutsReachTheCeilingAndMailsPassUnscanned) {
  auto engine_answers = [](const std::string&, const std::string&, const std::string& out_job) {
    testing_support::RootTest::WriteFile(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
    testing_support::RootTest::WriteFile(out_job + "/delete.txt", "");
  };
  StartEngine(engine_answers);
  StartRouter();
  SetBase(120000);
  for (int i = 0; i < 7; ++i) LengthenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 330000);
  EXPECT_LT(State().current_timeout_ms.load(), State().timeout_ceiling_ms.load());
  for (int i = 0; i < 3; ++i) LengthenTimeout();
  EXPECT_EQ(State().current_timeout_ms.load(), 420000);
  // At the ceiling the mail is not even offered to the engine.
  NOTEID id = PutMail("mail.box", "passes");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(engine_->answered(), 0);
}

class ReleaseTest : public RouterTest {};

TEST_F(ReleaseTest, SweepReleasesIdleJobsButNotJobsInUse) {
  auto answer = [](const std::string& job, const std::string&, const std::string& out_job) {
    testing_support::RootTest::WriteFile(out_job + "/clean.bdy", "Cleaned\r\n");
    testing_support::RootTest::WriteFile(out_job + "/r.hd0",
                                         "Body: " + job + "\\clean.bdy\r\n");
    testing_support::RootTest::WriteFile(out_job + "/Scanover.txt", "");
  };
  StartEngine(answer);
  StartRouter();
  WriteProductValue("DONOT_DELETE_OUT_DIR", "1");
  State().keep_out_jobs = true;
  NOTEID idle = PutMail("mail.box", "idle");
  NOTEID busy = PutMail("mail.box", "busy");
  ASSERT_EQ(OpenAsRouter("mail.box", idle).status, NOERROR);
  ASSERT_EQ(OpenAsRouter("mail.box", busy).status, NOERROR);
  const std::string idle_job = JoinPath(Out(), MakeJobId("", idle));
  const std::string busy_job = JoinPath(Out(), MakeJobId("", busy));
  ASSERT_TRUE(Exists(idle_job));
  {
    foundation::MutexHold hold(State().g_mutex.get());
    auto idle_record = State().job_list.Find(JobMutexName(MakeJobId("", idle)));
    auto busy_record = State().job_list.Find(JobMutexName(MakeJobId("", busy)));
    ASSERT_TRUE(idle_record && busy_record);
    idle_record->time_stamp = GetTickCount() - 61000;
    busy_record->time_stamp = GetTickCount() - 61000;
    ++busy_record->users;  // a note-open is still working on it
  }
  SweepIdleJobs(60000);
  // Released even with DONOT_DELETE_OUT_DIR on.
  EXPECT_FALSE(Exists(idle_job));
  EXPECT_TRUE(Exists(busy_job));
  foundation::MutexHold hold(State().g_mutex.get());
  EXPECT_EQ(State().job_list.Size(), 1u);
  --State().job_list.Find(JobMutexName(MakeJobId("", busy)))->users;
}

TEST_F(ReleaseTest, NoteUpdateReleasesTheJobOfARemovedMailUnlessOutJobsAreKept) {
  auto answer = [](const std::string& job, const std::string&, const std::string& out_job) {
    testing_support::RootTest::WriteFile(out_job + "/clean.bdy", "Cleaned\r\n");
    testing_support::RootTest::WriteFile(out_job + "/r.hd0",
                                         "Body: " + job + "\\clean.bdy\r\n");
    testing_support::RootTest::WriteFile(out_job + "/Scanover.txt", "");
  };
  StartEngine(answer);
  StartRouter();
  NOTEID kept = PutMail("mail2.box", "kept");
  NOTEID removed = PutMail("mail2.box", "removed");
  ASSERT_EQ(OpenAsRouter("mail2.box", kept).status, NOERROR);
  ASSERT_EQ(OpenAsRouter("mail2.box", removed).status, NOERROR);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail2.box", &db), NOERROR);
  ASSERT_EQ(NSFNoteDelete(db, removed, UPDATE_FORCE), NOERROR);
  EXPECT_FALSE(Exists(JoinPath(Out(), MakeJobId("2", removed))));
  EXPECT_TRUE(Exists(JoinPath(Out(), MakeJobId("2", kept))));
  State().keep_out_jobs = true;
  ASSERT_EQ(NSFNoteDelete(db, kept, UPDATE_FORCE), NOERROR);
  EXPECT_TRUE(Exists(JoinPath(Out(), MakeJobId("2", kept))));
  (void)NSFDbClose(db);
}

}  // namespace
}  // namespace vtnotes
