// hook_faults_test.cpp - the note-open hook when things go wrong: failures and exceptions in
// capture and apply, answers that are no verdict, failed quarantine copies, time-outs of
// many mails at once, holding mail that cannot be scanned, and what the logs say of it.
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/notes/mail_import.h"
#include "platform/win32/named_objects.h"
#include "vtnotes/hook_test_support.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/note_open.h"
#include "vtnotes/spool.h"

namespace vtnotes {
namespace {

using testing_support::FakeEngine;
using testing_support::RouterTest;

using testing_support::AnswerClean;
constexpr auto Write = testing_support::WriteAnswerFile;

void AnswerError(const std::string&, const std::string&, const std::string& out_job) {
  Write(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
  Write(out_job + "/error.hdr", "MaxRecursion\r\n");
}

// Infected: quarantine the original, neuter the mail.
void AnswerQuarantineAndNeuter(const std::string& job_id, const std::string&,
                               const std::string& out_job) {
  Write(out_job + "/clean.bdy", "original");
  Write(out_job + "/r.hd0", "Body: " + job_id + "\\clean.bdy\r\n");
  Write(out_job + "/Forward.txt", "");
  Write(out_job + "/Delete.txt", "This mail carried a virus and was removed.\r\n");
  Write(out_job + "/Scanover.txt", "");
}

int ReturnFailure(NOTEHANDLE, MailInfo&, const std::string&, const std::string&) { return 1; }
int ThrowFailure(NOTEHANDLE, MailInfo&, const std::string&, const std::string&) {
  throw std::runtime_error("injected capture failure");
}
int ApplyReturnsFailure(const std::string&, NOTEHANDLE, MailInfo&, bool, const std::string&, bool&,
                        const std::string&) {
  return 1;
}
int ApplyThrows(const std::string&, NOTEHANDLE, MailInfo&, bool, const std::string&, bool&,
                const std::string&) {
  throw std::runtime_error("injected apply failure");
}

class HookFaultsTest : public RouterTest {
 protected:
  // Time enough for the test engine to answer on a loaded machine; the cases that wait for
  // a time-out set 1 s again.
  void SetUp() override {
    RouterTest::SetUp();
    WriteProductValue("TimeOut", "10");
  }
  void TearDown() override {
    Steps() = DefaultJobSteps();
    RouterTest::TearDown();
  }

  // Every log line written so far: the debug logs and vtnotes.log.
  std::string Logs() const {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(Path("vantrel/logs")))
      text += ReadFile(entry.path().string());
    return text;
  }
  static int Occurrences(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
      ++count;
    return count;
  }

  // The subjects of the documents of a database, read beside the Notes stand-in.
  std::vector<std::string> Subjects(const char* db_path) const {
    std::vector<std::string> subjects;
    sqlite3* sql = nullptr;
    if (sqlite3_open(Path(std::string("domino/data/") + db_path).c_str(), &sql) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(sql, "SELECT value FROM items WHERE name = 'Subject'", -1, &statement,
                             nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
          const char* value = static_cast<const char*>(sqlite3_column_blob(statement, 0));
          int bytes = sqlite3_column_bytes(statement, 0);
          if (bytes >= 2) subjects.emplace_back(value + 2, static_cast<std::size_t>(bytes - 2));
        }
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(sql);
    return subjects;
  }
  int CountSubject(const char* db_path, const std::string& subject) const {
    int count = 0;
    for (const std::string& found : Subjects(db_path)) count += found == subject;
    return count;
  }

  // An internet mail with one attachment, stored as the server stores one.
  NOTEID PutInternetMail(const char* box, const std::string& subject, const std::string& file_name,
                         const std::string& content) {
    const std::string message =
        "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: " + subject +
        "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
        "--b1\r\nContent-Type: text/plain\r\n\r\nSee the file.\r\n"
        "--b1\r\nContent-Type: application/octet-stream; name=\"" +
        file_name + "\"\r\nContent-Disposition: attachment; filename=\"" + file_name +
        "\"\r\n\r\n" + content + "\r\n--b1--\r\n";
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(mail_import::ImportMailText(note, message, {}, nullptr), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return id;
  }

  // Opens the note on another thread; false when that does not return within the time.
  static bool OpensWithin(const char* box, NOTEID id, STATUS* status_r) {
    auto opened = std::async(std::launch::async, [box, id] {
      EXPECT_EQ(NotesInitThread(), NOERROR);
      STATUS status = OpenAsRouter(box, id).status;
      NotesTermThread();
      return status;
    });
    if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      // The hook hangs: nothing more can be tested in this process.
      ADD_FAILURE() << "note-open did not return";
      std::quick_exit(1);
    }
    *status_r = opened.get();
    return true;
  }
};

// A failure in capture or apply, by status or by exception: the mail passes as before,
// counted as skipped, and the hook lets go of everything it held, so the next open of the
// same note, and of another, goes through.
TEST_F(HookFaultsTest, FailuresInCaptureAndApplyReleaseTheJob) {
  struct Case {
    const char* name;
    JobSteps steps;
  };
  JobSteps capture_error = DefaultJobSteps();
  capture_error.fetch_body = ReturnFailure;
  JobSteps capture_throws = DefaultJobSteps();
  capture_throws.fetch_body = ThrowFailure;
  JobSteps apply_error = DefaultJobSteps();
  apply_error.check_hd0_file = ApplyReturnsFailure;
  JobSteps apply_throws = DefaultJobSteps();
  apply_throws.check_hd0_file = ApplyThrows;
  const Case cases[] = {{"capture error", capture_error},
                        {"capture exception", capture_throws},
                        {"apply error", apply_error},
                        {"apply exception", apply_throws}};
  StartEngine(AnswerClean);
  StartRouter();
  int skipped = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Steps() = c.steps;
    const NOTEID id = PutMail("mail.box", c.name);
    // On this thread, which lives on as a router thread does: a job mutex it kept would
    // stay owned, not be abandoned.
    EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
    STATUS status = 0xFFFF;
    // Another thread can take the job mutex: nobody owns it any more.
    HANDLE job_mutex = OpenMutex(SYNCHRONIZE, FALSE, JobMutexName(MakeJobId("", id)).c_str());
    if (job_mutex != nullptr) {
      std::thread([job_mutex] {
        EXPECT_NE(WaitForSingleObject(job_mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        ReleaseMutex(job_mutex);
      }).join();
      CloseHandle(job_mutex);
    }
    Steps() = DefaultJobSteps();
    ASSERT_TRUE(OpensWithin("mail.box", id, &status));
    EXPECT_EQ(status, NOERROR);
    ASSERT_TRUE(OpensWithin("mail.box", PutMail("mail.box", "after"), &status));
    EXPECT_EQ(status, NOERROR);
    // Capture failures and exceptions leave the mail unscanned; an apply that returned a
    // failure ends as it always has (its OUT job marked with error.HD0).
    if (c.steps.check_hd0_file != ApplyReturnsFailure) ++skipped;
    EXPECT_EQ(ReadProductValue("TotalSkippedMail"), std::to_string(skipped));
  }
  // One engine-disabled warning for both capture failures: at most one per time-out period.
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Disabled"), 1);
  EXPECT_TRUE(State().active);
}

// An answer that is no verdict passes the mail, never silently: counted, warned about and
// logged at every verbosity.
TEST_F(HookFaultsTest, EngineErrorIsCountedWarnedAndLogged) {
  WriteProductValue("VTDEBUG", "0");
  StartEngine(AnswerError);
  StartRouter();
  const NOTEID id = PutMail("mail.box", "too deep");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);  // the router's second open
  EXPECT_EQ(engine_->answered(), 1);
  EXPECT_EQ(ReadProductValue("TotalSkippedMail"), "1");
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Bypassed"), 1);
  const std::string logs = Logs();
  EXPECT_NE(logs.find("CheckHD0File Error \"error.hdr\" Present."), std::string::npos);
  EXPECT_NE(logs.find("the engine answered with an error"), std::string::npos);
  EXPECT_NE(logs.find("Total Mail Errors 1 (including timeout)"), std::string::npos);
  EXPECT_NE(logs.find("Successfully made"), std::string::npos);
  // The program-name field names the router that loaded the library.
  EXPECT_NE(logs.find(" [nRouter]: "), std::string::npos);
  EXPECT_EQ(logs.find("[vtnotes]"), std::string::npos);
}

// Whatever set the job's event, an OUT job without the engine's complete answer is no
// verdict: no answer at all, or a cleaned mail whose kept attachment is missing. The mail
// is not scanned (counted, the administrators told), never taken as clean or changed by
// half; with HoldMailWhenNotScanned it stays in the box.
TEST_F(HookFaultsTest, SignalWithoutACompleteAnswerIsNoVerdict) {
  const FakeEngine::Answer nothing = [](const std::string&, const std::string&,
                                        const std::string&) {};
  const FakeEngine::Answer missing_attachment = [](const std::string& job_id, const std::string&,
                                                   const std::string& out_job) {
    Write(out_job + "/clean.bdy", "Vantrel removed the attachment e.exe\r\n");
    Write(out_job + "/r.hd0",
          "Body: " + job_id + "\\clean.bdy\r\nAttachment: " + job_id + "\\0.ATT,report.pdf\r\n");
    Write(out_job + "/Scanover.txt", "");
  };
  int mails = 0;
  for (const FakeEngine::Answer& answer : {nothing, missing_attachment}) {
    SCOPED_TRACE(mails);
    StartEngine(answer);
    StartRouter();
    Write(Path("report.pdf"), "%PDF-1.4 figures");
    const NOTEID id = PutMail("mail.box", "no verdict", "ann@example.com", "See the file.\r\n",
                              Path("report.pdf"));
    const auto opened = OpenAsRouter("mail.box", id);
    EXPECT_EQ(opened.status, NOERROR);
    EXPECT_EQ(opened.attachments, 1);  // passed as it came, not stripped by half an answer
    ++mails;
    EXPECT_EQ(ReadProductValue("TotalSkippedMail"), "1");  // counted afresh from each start
    EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Bypassed"), mails);
    EXPECT_NE(Logs().find("signalled its job without a complete answer"), std::string::npos);
    StopRouter();
    engine_.reset();
  }

  WriteProductValue("HoldMailWhenNotScanned", "1");
  StartEngine(nothing);
  StartRouter();
  const NOTEID held = PutMail("mail.box", "held, no verdict");
  EXPECT_EQ(OpenAsRouter("mail.box", held).status, kStatusHeldForScan);
}

// A cleaned answer that cannot be written into the note whole (here a kept attachment's
// name is longer than a note allows) never delivers half a mail silently: the original is
// kept, the mail goes out with a notice only, the administrators are told; later opens
// deliver the notice too. Without a place to keep the original, the mail stays in the box.
TEST_F(HookFaultsTest, VerdictThatCannotBeAppliedWholeKeepsTheOriginal) {
  StartEngine([](const std::string& job_id, const std::string&, const std::string& out_job) {
    Write(out_job + "/clean.bdy", "See the file.\r\n\r\nVantrel removed virus.exe\r\n");
    Write(out_job + "/0.ATT", "%PDF-1.4 figures");
    Write(out_job + "/r.hd0", "Body: " + job_id + "\\clean.bdy\r\nAttachment: " + job_id +
                                  "\\0.ATT," + std::string(300, 'r') + ".pdf\r\n");
    Write(out_job + "/Scanover.txt", "");
  });
  StartRouter();
  const NOTEID id = PutInternetMail("mail.box", "half cleaned", "virus.exe", "bad bytes");
  for (int open = 0; open < 2; ++open) {
    SCOPED_TRACE(open);
    const auto opened = OpenAsRouter("mail.box", id);
    EXPECT_EQ(opened.status, NOERROR);
    EXPECT_NE(opened.body.find("could not deliver this mail"), std::string::npos) << opened.body;
    EXPECT_EQ(opened.attachments, 0);
  }
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Could Not Clean a Mail"), 1);
  EXPECT_NE(Logs().find("MyChange Body"), std::string::npos);
  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(Path("vantrel/Quarantine"))) {
    if (entry.path().extension() == ".eml") kept.push_back(entry.path().string());
  }
  ASSERT_EQ(kept.size(), 1u);
  // Beside it, what the message does not carry: the mail's identity and its recipients.
  EXPECT_NE(ReadFile(kept[0] + kKeptRecordSuffix).find("VtOriginalMail: mail.box:"),
            std::string::npos);
  EXPECT_NE(ReadFile(kept[0]).find("bad bytes"), std::string::npos);

  std::filesystem::remove_all(Path("vantrel/Quarantine"));
  Write(Path("vantrel/Quarantine"), "in the way");
  const NOTEID second = PutInternetMail("mail.box", "half cleaned again", "virus.exe", "bad");
  EXPECT_EQ(OpenAsRouter("mail.box", second).status, kStatusHeldForScan);

  // Cleaned whole at the first open, but not at a later one: that one waits in the box
  // rather than go out with the notice while no original is kept.
  std::filesystem::remove(Path("vantrel/Quarantine"));
  std::atomic<int> answers{0};
  engine_.reset();
  StartEngine([&](const std::string& job_id, const std::string&, const std::string& out_job) {
    Write(out_job + "/clean.bdy", "See the file.\r\n");
    Write(out_job + "/0.ATT", "%PDF-1.4 figures");
    Write(out_job + "/r.hd0", "Body: " + job_id + "\\clean.bdy\r\nAttachment: " + job_id +
                                  "\\0.ATT,report.pdf\r\n");
    Write(out_job + "/Scanover.txt", "");
    ++answers;
  });
  const NOTEID third = PutInternetMail("mail.box", "cleaned once", "virus.exe", "bad bytes");
  const auto first = OpenAsRouter("mail.box", third);
  EXPECT_EQ(first.status, NOERROR);
  EXPECT_EQ(first.attachments, 1);
  EXPECT_EQ(answers, 1);
  // The kept attachment can no longer be attached under its name.
  for (const auto& entry : std::filesystem::directory_iterator(Out())) {
    const std::string answer = entry.path().string() + "/r.hd0";
    std::string text = std::filesystem::exists(answer) ? ReadFile(answer) : "";
    if (const std::size_t at = text.find("report.pdf"); at != std::string::npos)
      Write(answer, text.replace(at, 10, std::string(300, 'r')));
  }
  EXPECT_EQ(OpenAsRouter("mail.box", third).status, kStatusHeldForScan);
  // The original kept before the first open's change went once that change held.
  EXPECT_TRUE(std::filesystem::is_empty(Path("vantrel/Quarantine")));
}

// A quarantine copy that fails never delivers the original: the verdict is applied, the
// original is kept in a database file of the Quarantine folder, the administrators are
// told. When it cannot be kept there either, the mail stays in the box.
TEST_F(HookFaultsTest, FailedQuarantineCopyAppliesTheVerdictAndKeepsTheOriginal) {
  WriteProductValue("VTADMINDB", "missing.nsf");
  StartEngine(AnswerQuarantineAndNeuter);
  StartRouter();
  const NOTEID id = PutInternetMail("mail.box", "infected", "virus.exe", "bad bytes");
  auto opened = OpenAsRouter("mail.box", id);
  EXPECT_EQ(opened.status, NOERROR);
  EXPECT_NE(opened.body.find("carried a virus"), std::string::npos);
  EXPECT_EQ(opened.attachments, 0);
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Quarantine Failed"), 1);

  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(Path("vantrel/Quarantine"))) {
    if (entry.path().extension() == ".eml") kept.push_back(entry.path().string());
  }
  ASSERT_EQ(kept.size(), 1u);
  // Beside it, what the message does not carry: the mail's identity and its recipients.
  EXPECT_NE(ReadFile(kept[0] + kKeptRecordSuffix).find("VtOriginalMail: mail.box:"),
            std::string::npos);
  // The message as it arrived, its attachment included.
  const std::string message = ReadFile(kept[0]);
  EXPECT_NE(message.find("Subject: infected"), std::string::npos);
  EXPECT_NE(message.find("filename=\"virus.exe\""), std::string::npos);
  EXPECT_NE(message.find("bad bytes"), std::string::npos);

  // No quarantine database named at all: kept the same way.
  State().SetLists(State().AdminAddresses(), {" "});
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "nowhere to copy")).status, NOERROR);
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Quarantine Failed"), 2);

  // The folder cannot be made (a file has its name): the mail is neither delivered nor lost.
  std::filesystem::remove_all(Path("vantrel/Quarantine"));
  Write(Path("vantrel/Quarantine"), "in the way");
  const NOTEID second = PutMail("mail.box", "infected again");
  EXPECT_EQ(OpenAsRouter("mail.box", second).status, kStatusHeldForScan);
  EXPECT_EQ(CountNotes("mail.box"), 3);
  EXPECT_FALSE(Exists(JoinPath(Out(), MakeJobId("", second))));
}

// Copies that do reach the quarantine database tell who sent the mail and when.
TEST_F(HookFaultsTest, QuarantineCopyCarriesSenderAndDate) {
  StartEngine(AnswerQuarantineAndNeuter);
  StartRouter();
  const NOTEID id = PutMail("mail.box", "copied");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  ASSERT_EQ(CountNotes("vtquaran.nsf"), 1);
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("vtquaran.nsf", &db), NOERROR);
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db, 0x8F6, OPEN_DEFAULT, &copy), NOERROR);
  char from[256] = {};
  NSFItemGetText(copy, "From", from, sizeof from);
  EXPECT_STREQ(from, "ann@example.com");
  (void)NSFNoteClose(copy);
  (void)NSFDbClose(db);
  EXPECT_EQ(Occurrences(Logs(), "The quarantine copy failed"), 0);
}

// Three mails timing out together: each gets its own bypassed warning, the engine found
// gone is reported once, and no warning file meets another.
TEST_F(HookFaultsTest, ConcurrentTimeOutsWarnOncePerMail) {
  WriteProductValue("TimeOut", "1");
  StartEngine(nullptr);
  engine_->Stop();  // the lock file is released: the engine is gone at the time-out
  StartEngine(nullptr);
  StartRouter();
  ASSERT_TRUE(State().active);
  engine_->Stop();
  std::vector<NOTEID> ids;
  for (const char* subject : {"one", "two", "three"}) ids.push_back(PutMail("mail.box", subject));
  std::vector<std::thread> openers;
  for (NOTEID id : ids) {
    openers.emplace_back([id] {
      ASSERT_EQ(NotesInitThread(), NOERROR);
      EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
      NotesTermThread();
    });
  }
  for (auto& opener : openers) opener.join();
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Bypassed"), 3);
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Disabled"), 1);
  EXPECT_EQ(ReadProductValue("TotalTimeout"), "3");
  EXPECT_EQ(Occurrences(Logs(), "ERROR!!! CreateFileForWarningToAdmin"), 0);
}

// HoldMailWhenNotScanned: a mail that cannot be scanned stays in the box (the router tries
// it again) and flows once scanning works; the system's own mails and other databases are
// never held.
TEST_F(HookFaultsTest, HeldMailWaitsInTheBoxUntilItCanBeScanned) {
  WriteProductValue("HoldMailWhenNotScanned", "1");
  std::atomic<bool> failing{true};
  StartEngine([&](const std::string& job, const std::string& in_job, const std::string& out) {
    if (failing) {
      AnswerError(job, in_job, out);
    } else {
      AnswerClean(job, in_job, out);
    }
  });
  StartRouter();
  ASSERT_TRUE(State().hold_when_not_scanned);
  const NOTEID id = PutMail("mail.box", "hold me");
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, kStatusHeldForScan);
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, kStatusHeldForScan);  // scanned again
  EXPECT_EQ(engine_->answered(), 2);
  EXPECT_EQ(ReadProductValue("TotalSkippedMail"), "0");
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Holding Mail"), 1);
  failing = false;
  EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(engine_->answered(), 3);

  // Scanning off: held too, but the warnings it sends pass, and so does any other database.
  engine_->Stop();
  State().active = false;
  const NOTEID waiting = PutMail("mail.box", "engine off");
  EXPECT_EQ(OpenAsRouter("mail.box", waiting).status, kStatusHeldForScan);
  const NOTEID own = PutMail("mail.box", "warning", "ann@example.com", "x\r\n", "",
                             {{"X-Vantrel", State().vantrel_id}});
  EXPECT_EQ(OpenAsRouter("mail.box", own).status, NOERROR);
  ASSERT_EQ(NSFDbCreate("names.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
  EXPECT_EQ(OpenAsRouter("names.nsf", PutMail("names.nsf", "person")).status, NOERROR);
}

// No answer within the time-out while HoldMailWhenNotScanned is set: held, and scanned at
// the next try.
TEST_F(HookFaultsTest, MailTimedOutIsHeldAndScannedAtTheNextTry) {
  WriteProductValue("TimeOut", "1");
  WriteProductValue("HoldMailWhenNotScanned", "1");
  // The engine "runs" (its lock is held) but answers nothing.
  HANDLE lock = CreateFile(Path("vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  StartRouter();
  const NOTEID slow = PutMail("mail.box", "slow");
  EXPECT_EQ(OpenAsRouter("mail.box", slow).status, kStatusHeldForScan);
  EXPECT_EQ(ReadProductValue("TotalTimeout"), "1");
  CloseHandle(lock);
  StartEngine(AnswerClean);
  EXPECT_EQ(OpenAsRouter("mail.box", slow).status, NOERROR);
  EXPECT_EQ(ReadProductValue("TotalSkippedMail"), "0");
}

// A mail that passes while scanning is off is named once in the event log, however often
// the router opens it.
TEST_F(HookFaultsTest, InactiveNoticeOncePerMail) {
  StartRouter();  // no engine
  const NOTEID first = PutMail("mail.box", "first");
  const NOTEID second = PutMail("mail.box", "second");
  for (NOTEID id : {first, first, second, second})
    EXPECT_EQ(OpenAsRouter("mail.box", id).status, NOERROR);
  EXPECT_EQ(Occurrences(ReadFile(Path("vantrel/logs/vtnotes.log")), "Vantrel is not active."), 2);
  EXPECT_EQ(ReadProductValue("HoldMailWhenNotScanned"), "0");  // written back at start-up
}

// The recipient rewrite reports to the scratch log; the mail deposit traces its steps.
TEST_F(HookFaultsTest, RewriteAndDepositReportWhereTheyBelong) {
  WriteProductValue("VTDEBUG", "11");
  StartEngine(AnswerError);
  StartRouter();
  const NOTEID forward =
      PutMail("mail.box", "forward", "ann@example.com", "x\r\n", "", {{"X-Vantrel", "FORWARD"}});
  EXPECT_EQ(OpenAsRouter("mail.box", forward).status, kStatusMarkedForDeletion);
  EXPECT_NE(ReadFile(foundation::ScratchLogFile()).find("\"ReplacePersonLength is absent\""),
            std::string::npos);
  EXPECT_EQ(OpenAsRouter("mail.box", PutMail("mail.box", "no verdict")).status, NOERROR);
  const std::string logs = Logs();
  EXPECT_EQ(logs.find("ReplacePersonLength is absent"), std::string::npos);
  for (const char* step : {"Step1", "Step4", "Step5", "Step5.1", "Step5.2", "Step5.3", "Step6",
                           "Step7", "Step8", "Step9", "Step10", "Step11", "Step12", "END"}) {
    EXPECT_NE(logs.find(std::string("NSFSendMailReport admin@example.com ") + step + "\r\n"),
              std::string::npos)
        << step;
  }
}

// A job whose event or mutex cannot be made (no room in shared memory, or a block planted
// where it belongs) is never a silent pass: logged, counted, the administrators warned, and
// held when HoldMailWhenNotScanned is set. Nothing is written through the planted link.
TEST_F(HookFaultsTest, JobObjectsThatCannotBeMadeLeaveTheMailNotScanned) {
  StartEngine(AnswerClean);
  StartRouter();
  const std::string victim = Path("victim");
  Write(victim, std::string(9200, 'v'));
  int skipped = 0;
  for (bool event : {true, false}) {
    for (bool hold : {false, true}) {
      SCOPED_TRACE(std::string(event ? "event" : "mutex") + (hold ? ", held" : ", passed"));
      State().hold_when_not_scanned = hold;
      const NOTEID id = PutMail("mail.box", "no objects");
      const std::string job_id = MakeJobId(MailboxNumber("mail.box"), id);
      const std::string object = event ? JobEventName(job_id) : JobMutexName(job_id);
      const std::string block = win32internal::BlockFilePath(object.c_str());
      ASSERT_FALSE(block.empty());
      ASSERT_EQ(::symlink(victim.c_str(), block.c_str()), 0);
      EXPECT_EQ(OpenAsRouter("mail.box", id).status, hold ? kStatusHeldForScan : NOERROR);
      if (!hold) ++skipped;
      EXPECT_EQ(ReadProductValue("TotalSkippedMail"), std::to_string(skipped));
      EXPECT_EQ(engine_->answered(), 0);
      ::unlink(block.c_str());
    }
  }
  EXPECT_EQ(ReadFile(victim), std::string(9200, 'v'));
  const std::string logs = Logs();
  EXPECT_EQ(Occurrences(logs, "Unable to Create Event...Reason above"), 2);
  EXPECT_EQ(Occurrences(logs, "its job mutex could not be created"), 2);
  EXPECT_EQ(Occurrences(logs, "directory NOT SCANNED!"), 2);
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Disabled"), 1);
  EXPECT_EQ(CountSubject("mail2.box", "Warning Mail: Vantrel Holding Mail"), 1);
}

// Termination leaves the spool alone once IN cannot be made again.
TEST_F(HookFaultsTest, TerminationStopsWhenInCannotBeMadeAgain) {
  StartRouter();  // no engine: termination empties IN and OUT
  std::filesystem::remove_all(In());
  Write(In(), "a file where IN belongs");
  Write(JoinPath(Out(), "left/0.bdy"), "kept");
  StopRouter();
  EXPECT_TRUE(Exists(JoinPath(Out(), "left/0.bdy")));
}

}  // namespace
}  // namespace vtnotes
