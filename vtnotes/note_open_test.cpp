// note_open_test.cpp - the hooks in a router task: verdicts, concurrent opens, deletion,
// time-outs and the marks of the size-restriction extension.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "vtnotes/hook_test_support.h"
#include "vtnotes/spool.h"

namespace vtnotes {
namespace {

using testing_support::RouterTest;

using testing_support::AnswerClean;
constexpr auto Write = testing_support::WriteAnswerFile;

// The answers of the engine for the verdicts the extension applies.
void AnswerCleaned(const std::string& job_id, const std::string&, const std::string& out_job) {
  Write(out_job + "/clean.bdy", "Cleaned text\r\n");
  Write(out_job + "/safe.bin", "safe bytes");
  Write(out_job + "/r.hd0", "Body: " + job_id + "\\clean.bdy\r\nAttachment: " + job_id +
                                "\\safe.bin,report.txt\r\n");
  Write(out_job + "/Scanover.txt", "");
}

void AnswerNeutered(const std::string& job_id, const std::string&, const std::string& out_job) {
  Write(out_job + "/clean.bdy", "original");
  Write(out_job + "/r.hd0", "Body: " + job_id + "\\clean.bdy\r\nAttachment: " + job_id +
                                "\\clean.bdy,x.txt\r\n");
  Write(out_job + "/Delete.txt", "This mail carried a virus and was removed.\r\n");
  Write(out_job + "/Scanover.txt", "");
}

void AnswerDelete(const std::string&, const std::string&, const std::string& out_job) {
  Write(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
  Write(out_job + "/delete.txt", "");
}

class NoteOpenTest : public RouterTest {
 protected:
  // Time enough for the test engine to answer on a loaded machine; the cases that wait for
  // a time-out set 1 s again.
  void SetUp() override {
    RouterTest::SetUp();
    WriteProductValue("TimeOut", "10");
  }
};

TEST_F(NoteOpenTest, CleanMailPassesAndIsRememberedWithoutItsJob) {
  StartEngine(AnswerClean);
  StartRouter();
  NOTEID id = PutMail("mail.box", "clean");
  auto opened = OpenAsRouter("mail.box", id);
  EXPECT_EQ(opened.status, NOERROR);
  EXPECT_EQ(opened.subject, "clean");
  EXPECT_EQ(engine_->answered(), 1);
  const std::string job = MakeJobId("", id);
  EXPECT_FALSE(Exists(JoinPath(Out(), job)));
  // A later open reuses the verdict: no new job.
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(engine_->answered(), 1);
}

TEST_F(NoteOpenTest, CapturedJobHoldsBodyAttachmentAndHeader) {
  std::string captured_header;
  std::string captured_body;
  StartEngine([&](const std::string&, const std::string& in_job, const std::string& out_job) {
    captured_header = ReadFile(in_job + "/0.hdr");
    captured_body = ReadFile(in_job + "/0.bdy");
    Write(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
  });
  StartRouter();
  Write(Path("a.doc"), "document bytes");
  NOTEID id = PutMail("mail2.box", "with file", "\"Doe, John\" <jd@example.com>", "Hi there\r\n",
                      Path("a.doc"));
  EXPECT_EQ(OpenAsRouter("mail2.box", id).status, NOERROR);
  const std::string job = MakeJobId("2", id);
  EXPECT_NE(captured_body.find("Hi there"), std::string::npos);
  EXPECT_NE(captured_header.find("Body: " + job + "\\0.bdy\r\n"), std::string::npos);
  EXPECT_NE(captured_header.find("From: jd@example.com\r\n"), std::string::npos);
  EXPECT_NE(captured_header.find("To: bob@example.com\r\n"), std::string::npos);
  EXPECT_NE(captured_header.find("Attachment: " + job + "\\0.ATT,a.doc\r\n"), std::string::npos);
  EXPECT_NE(captured_header.find("LotusNotesMUA: 0\r\n"), std::string::npos);
}

TEST_F(NoteOpenTest, CleanedMailGetsNewBodyAndAttachmentsOnEveryOpen) {
  Write(Path("virus.exe"), "bad bytes");
  StartEngine(AnswerCleaned);
  StartRouter();
  NOTEID id = PutMail("mail.box", "infected", "ann@example.com", "text\r\n", Path("virus.exe"));
  auto first = OpenAsRouter("mail.box", id);
  EXPECT_EQ(first.status, NOERROR);
  EXPECT_NE(first.body.find("Cleaned text"), std::string::npos);
  EXPECT_EQ(first.attachments, 1);
  // The router opens the stored mail again: the answer is applied again (secondary).
  auto second = OpenAsRouter("mail.box", id);
  EXPECT_EQ(second.status, NOERROR);
  EXPECT_NE(second.body.find("Cleaned text"), std::string::npos);
  EXPECT_EQ(second.attachments, 1);
  EXPECT_EQ(engine_->answered(), 1);
}

TEST_F(NoteOpenTest, NeuteredMailKeepsOnlyTheReplacementText) {
  Write(Path("virus.exe"), "bad bytes");
  StartEngine(AnswerNeutered);
  StartRouter();
  NOTEID id = PutMail("mail.box", "neuter", "ann@example.com", "text\r\n", Path("virus.exe"));
  auto opened = OpenAsRouter("mail.box", id);
  EXPECT_EQ(opened.status, NOERROR);
  EXPECT_NE(opened.body.find("carried a virus"), std::string::npos);
  EXPECT_EQ(opened.attachments, 0);
}

TEST_F(NoteOpenTest, DeletedMailIsRefusedThenRemovedByTheDeletionRound) {
  StartEngine(AnswerDelete);
  StartRouter();
  NOTEID id = PutMail("mail2.box", "to delete");
  EXPECT_EQ(OpenAsRouter("mail2.box", id).status, kStatusMarkedForDeletion);
  EXPECT_EQ(OpenAsRouter("mail2.box", id).status, kStatusMarkedForDeletion);
  const std::string job = MakeJobId("2", id);
  {
    foundation::MutexHold hold(State().mailbox_mutex.get());
    ASSERT_EQ(State().deletion_list.Count(), 1);
    EXPECT_EQ(State().deletion_list.Slot(0), "2-" + std::to_string(id));
  }
  EXPECT_TRUE(Exists(JoinPath(Out(), job)));
  DeleteMarkedMails();
  EXPECT_EQ(CountNotes("mail2.box"), 0);
  EXPECT_EQ(State().deletion_list.Count(), 0);
  // The deletion passed through the note-update hook, which released the job; the
  // record stays, still refusing the mail, until the idle sweep.
  EXPECT_FALSE(Exists(JoinPath(Out(), job)));
  EXPECT_FALSE(Exists(JoinPath(In(), job)));
  {
    foundation::MutexHold hold(State().g_mutex.get());
    auto record = State().job_list.Find(JobMutexName(job));
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(record->marked_for_deletion);
    EXPECT_TRUE(record->mail_deleted);
  }
  Sleep(5);
  SweepIdleJobs(1);
  foundation::MutexHold hold(State().g_mutex.get());
  EXPECT_EQ(State().job_list.Size(), 0u);
}

// The same note opened by several router threads at once: the later ones wait for the
// first and take over its verdict.
TEST_F(NoteOpenTest, ConcurrentOpensOfOneNoteShareOneVerdict) {
  struct Case {
    const char* name;
    testing_support::FakeEngine::Answer answer;
    STATUS expected;
    const char* body_part;  // in every opened copy, when given
  };
  const Case cases[] = {
      {"clean", AnswerClean, NOERROR, nullptr},
      {"deleted", AnswerDelete, kStatusMarkedForDeletion, nullptr},
      {"cleaned", AnswerCleaned, NOERROR, "Cleaned text"},
  };
  std::atomic<int> delay_ms{0};
  const testing_support::FakeEngine::Answer* current = nullptr;
  StartEngine([&](const std::string& job, const std::string& in_job, const std::string& out_job) {
    // A slow answer, so that every opener arrives while the first one waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms.load()));
    (*current)(job, in_job, out_job);
  });
  StartRouter();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    current = &c.answer;
    delay_ms = 300;
    NOTEID id = PutMail("mail.box", c.name);
    const int before = engine_->answered();
    constexpr int kThreads = 3;
    std::vector<STATUS> statuses(kThreads, 0xFFFF);
    std::vector<std::string> bodies(kThreads);
    std::vector<std::thread> workers;
    for (int i = 0; i < kThreads; ++i) {
      workers.emplace_back([&, i] {
        ASSERT_EQ(NotesInitThread(), NOERROR);
        auto opened = OpenAsRouter("mail.box", id);
        statuses[i] = opened.status;
        bodies[i] = opened.body;
        NotesTermThread();
      });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(engine_->answered() - before, 1);
    for (int i = 0; i < kThreads; ++i) {
      EXPECT_EQ(statuses[i], c.expected) << "thread " << i;
      if (c.body_part) {
        EXPECT_NE(bodies[i].find(c.body_part), std::string::npos) << bodies[i];
      }
    }
  }
}

TEST_F(NoteOpenTest, TimeOutLetsTheMailPassLengthensTheWaitAndWarns) {
  WriteProductValue("TimeOut", "1");
  StartEngine(nullptr);  // holds the lock file, answers nothing
  engine_->Stop();
  // The engine "runs" (its lock is held) but never answers.
  HANDLE lock = CreateFile(Path("vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  StartRouter();
  NOTEID id = PutMail("mail.box", "slow");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(State().current_timeout_ms.load(), 1000 + kTimeoutStepMs);
  EXPECT_TRUE(State().active);
  EXPECT_EQ(ReadProductValue("TotalTimeout"), "1");
  EXPECT_EQ(ReadProductValue("Small"), "1");
  EXPECT_EQ(ReadProductValue("MaxTimeoutReached"), "31");
  EXPECT_EQ(ReadProductValue("TotalSkippedMail"), "1");
  EXPECT_FALSE(Exists(JoinPath(In(), MakeJobId("", id))));
  // The bypassed warning went into the mail box (mail2.box: no compatibility setting),
  // marked as the system's own.
  EXPECT_EQ(CountNotes("mail2.box"), 1);
  EXPECT_TRUE(std::filesystem::is_empty(JoinPath(Out(), "TimeOut")));  // sent, nothing pending
  CloseHandle(lock);
}

TEST_F(NoteOpenTest, EngineGoneAtTimeOutDisablesScanningUntilReload) {
  StartRouter();  // no engine: start-up finds it stopped
  EXPECT_FALSE(State().active);
  NOTEID id = PutMail("mail.box", "unscanned");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_FALSE(Exists(JoinPath(Out(), MakeJobId("", id))));

  StartEngine(AnswerDelete);
  HANDLE update = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  ASSERT_NE(update, nullptr);
  SetEvent(update);
  for (int i = 0; i < 200 && !State().active; ++i) Sleep(10);
  CloseHandle(update);
  ASSERT_TRUE(State().active);
  NOTEID second = PutMail("mail.box", "scanned now");
  EXPECT_EQ(OpenAsRouter("mail.box", second).status, kStatusMarkedForDeletion);
}

TEST_F(NoteOpenTest, DeleteMarksAndForgedSendersAreDeletedWithoutAnEngineJob) {
  StartEngine(AnswerClean);
  StartRouter();
  const NOTEID marked =
      PutMail("mail.box", "too big", "ann@example.com", "x\r\n", "", {{"X-Vantrel", "DELETE"}});
  const NOTEID at_sign = PutMail("mail.box", "forged", "@example.com");
  const NOTEID open_quote = PutMail("mail.box", "forged", "\"Ann ann@example.com");
  for (NOTEID id : {marked, at_sign, open_quote})
    EXPECT_EQ(OpenAsRouter("mail.box", id).status, kStatusMarkedForDeletion) << id;
  EXPECT_EQ(engine_->answered(), 0);
  // A quoted name with its address in angle brackets is a good sender.
  const NOTEID good = PutMail("mail.box", "fine", "\"Ann\" <ann@example.com>");
  EXPECT_EQ(OpenAsRouter("mail.box", good).status, NOERROR);
  EXPECT_EQ(engine_->answered(), 1);
}

TEST_F(NoteOpenTest, ForwardMarkCopiesToQuarantineWithTheReplacementRecipients) {
  StartEngine(AnswerClean);
  StartRouter();
  // Two addresses of 5 and 6 characters: N = 15, the joined text and three zero bytes.
  std::string replace_person = std::string("a@b.c,dd@e.f") + std::string(3, '\0');
  const NOTEID id = PutMail("mail.box", "forward me", "ann@example.com", "x\r\n", "",
                            {{"X-Vantrel", "FORWARD"},
                             {"ReplacePersonLength", "15"},
                             {"ReplacePerson", replace_person}});
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(CountNotes("vtquaran.nsf"), 1);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("vtquaran.nsf", &db), NOERROR);
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, 0x8F6, OPEN_DEFAULT, &copy), NOERROR);
  char text[256] = {};
  NSFItemGetText(copy, "SendTo", text, sizeof text);
  EXPECT_STREQ(text, "a@b.c,dd@e.f");
  NSFItemGetText(copy, "X-Vantrel", text, sizeof text);
  EXPECT_EQ(std::string(text), State().vantrel_id);
  (void)NSFNoteClose(copy);
  (void)NSFDbClose(db);
}

// The note as the router reads it before the hooks run: a handle that a deletion in
// between does not take back.
NOTEHANDLE ReadWithoutHooks(DBHOOKVEC*& vector, DBHANDLE db, NOTEID id) {
  const DBHOOKVEC saved = *vector;
  VtRemoveHooks();
  NOTEHANDLE note = NULLHANDLE;
  EXPECT_EQ(NSFNoteOpen(db, id, OPEN_DEFAULT, &note), NOERROR);
  vector = VtInstallHookVector(saved);
  return note;
}

// A forward-marked mail without replacement recipients is copied once and deleted: later
// opens, also one that read the note just before the deletion thread removed it, are
// refused without a second copy, while a new mail given the freed note ID is scanned.
TEST_F(NoteOpenTest, ForwardedMailIsCopiedOnceHoweverOftenItIsOpened) {
  StartEngine(AnswerClean);
  StartRouter();
  const NOTEID id = PutMail("mail.box", "forward once", "ann@example.com", "x\r\n", "",
                            {{"X-Vantrel", "FORWARD"}});
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, kStatusMarkedForDeletion);
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, kStatusMarkedForDeletion);
  EXPECT_EQ(CountNotes("vtquaran.nsf"), 1);

  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  NOTEHANDLE late = ReadWithoutHooks(vector_, db, id);
  ASSERT_NE(late, NULLHANDLE);
  DeleteMarkedMails();
  EXPECT_EQ(CountNotes("mail.box"), 0);
  EXPECT_EQ(NoteOpen(vector_, nullptr, nullptr, db, id, late, OPEN_DEFAULT),
            kStatusMarkedForDeletion);
  EXPECT_EQ(CountNotes("vtquaran.nsf"), 1);
  EXPECT_EQ(engine_->answered(), 0);

  // A different mail presented under the freed ID is not taken for the deleted one.
  Sleep(20);
  const NOTEID other_id = PutMail("mail.box", "new mail");
  NOTEHANDLE other = ReadWithoutHooks(vector_, db, other_id);
  ASSERT_NE(other, NULLHANDLE);
  EXPECT_EQ(NoteOpen(vector_, nullptr, nullptr, db, id, other, OPEN_DEFAULT), NOERROR);
  EXPECT_EQ(engine_->answered(), 1);
  EXPECT_EQ(CountNotes("vtquaran.nsf"), 1);
  (void)NSFNoteClose(late);
  (void)NSFNoteClose(other);
  (void)NSFDbClose(db);
}

TEST_F(NoteOpenTest, OwnMailsReportsAndOtherDatabasesAreLeftAlone) {
  StartEngine(AnswerDelete);
  StartRouter();
  const NOTEID own = PutMail("mail.box", "warning", "ann@example.com", "x\r\n", "",
                             {{"X-Vantrel", State().vantrel_id}});
  const NOTEID report = PutMail("mail.box", "ndr", "ann@example.com", "x\r\n", "",
                                {{"Form", "NonDelivery Report"}});
  EXPECT_EQ(OpenAsRouter("mail.box", own).status, NOERROR);
  EXPECT_EQ(OpenAsRouter("mail.box", report).status, NOERROR);
  ASSERT_EQ(NSFDbCreate("mail/bob.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
  const NOTEID stored = PutMail("mail/bob.nsf", "stored");
  EXPECT_EQ(OpenAsRouter("mail/bob.nsf", stored).status, NOERROR);
  EXPECT_EQ(engine_->answered(), 0);
}

TEST_F(NoteOpenTest, AnswerNamingFilesOutsideOutChangesNothing) {
  Write(Path("secret.txt"), "not for mail");
  StartEngine([&](const std::string&, const std::string&, const std::string& out_job) {
    Write(out_job + "/r.hd0",
          "Body: ..\\..\\secret.txt\r\nAttachment: ..\\..\\secret.txt,secret.txt\r\n");
    Write(out_job + "/Scanover.txt", "");
  });
  StartRouter();
  const NOTEID id = PutMail("mail.box", "hostile answer");
  auto opened = OpenAsRouter("mail.box", id);
  EXPECT_EQ(opened.status, NOERROR);
  EXPECT_EQ(opened.body.find("not for mail"), std::string::npos);
  EXPECT_EQ(opened.attachments, 0);
}

TEST_F(NoteOpenTest, JobLeftByAKilledRouterIsCapturedAfresh) {
  std::string captured_body;
  StartEngine([&](const std::string&, const std::string& in_job, const std::string& out_job) {
    captured_body = ReadFile(in_job + "/0.bdy");
    Write(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
  });
  NOTEID id = PutMail("mail.box", "again", "ann@example.com", "Fresh text\r\n");
  // What a router killed in the middle of this mail's job left behind; the engine, running
  // all along, keeps IN as it is.
  const std::string in_job = JoinPath(In(), MakeJobId("", id));
  Write(in_job + "/0.bdy", "STALE TEXT\r\n");
  Write(in_job + "/9.ATT", "stale attachment");
  StartRouter();
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_NE(captured_body.find("Fresh text"), std::string::npos);
  EXPECT_EQ(captured_body.find("STALE"), std::string::npos);
  EXPECT_FALSE(Exists(in_job));
}

TEST_F(NoteOpenTest, EngineKilledMidRunWarnsAndScanningResumesAfterReload) {
  WriteProductValue("TimeOut", "1");
  StartEngine(AnswerDelete);
  StartRouter();
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "before")).status,
            kStatusMarkedForDeletion);
  engine_->Stop();  // gone, its lock file released

  // The next mail waits its time-out, finds the engine gone and passes.
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "during")).status, NOERROR);
  EXPECT_FALSE(State().active);
  // Both warnings went to the administrators: disabled, and this mail bypassed.
  EXPECT_EQ(CountNotes("mail2.box"), 2);
  const DWORD start = GetTickCount();
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "still during")).status, NOERROR);
  EXPECT_LT(GetTickCount() - start, 900u);  // no second wait

  StartEngine(AnswerDelete);
  HANDLE update = CreateEvent(nullptr, FALSE, FALSE, "UpdateEvent");
  SetEvent(update);
  for (int i = 0; i < 200 && !State().active; ++i) Sleep(10);
  CloseHandle(update);
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "after")).status,
            kStatusMarkedForDeletion);
}

}  // namespace
}  // namespace vtnotes
