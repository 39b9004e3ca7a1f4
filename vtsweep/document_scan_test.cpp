// document_scan_test.cpp - one stored document through a played engine.
#include "vtsweep/document_scan.h"

#include <gtest/gtest.h>

#include <atomic>

#include "vtsweep/test_support.h"

namespace vtsweep {
namespace {

using testing_support::FakeEngine;
using testing_support::SweepTest;

class DocumentScanTest : public SweepTest {};

TEST(Addresses, NormalizeKeepsTheAddressInsideBracketsAndNotesNames) {
  EXPECT_EQ(NormalizeAddress("\"Doe, John\" <jd@example.com>"), "jd@example.com");
  EXPECT_EQ(NormalizeAddress("ann @ example.com"), "ann@example.com");
  EXPECT_EQ(NormalizeAddress("CN=Ann Archer/O=Acme"), "CN=Ann Archer/O=Acme");
  EXPECT_EQ(NormalizeAddress("bob@example.com (Bob)"), "bob@example.com");
  EXPECT_EQ(NormalizeAddress("\"only a name\""), "\"only a name\"");
}

TEST_F(DocumentScanTest, RichTextMailWithTwoAttachmentsBecomesOneJob) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID id = MakeMail(db, "two files", "hello\r\n",
                             {{"a.doc", "first file"}, {"b.doc", "second file"}},
                             "\"Bob Baker\" <bob@example.com>", "ann@example.com");
  std::vector<std::string> attachments;
  FakeEngine engine(run_.paths, [&](const std::string& job_dir, const std::string&) {
    attachments = {Read(job_dir + "/0.ATT"), Read(job_dir + "/1.ATT")};
  });
  ASSERT_EQ(ScanOne(db, id), NOERROR);
  ASSERT_EQ(engine.jobs(), 1);
  char scanned_line[64];
  std::snprintf(scanned_line, sizeof scanned_line, "Note ID is: %lX. Scanned\r\n\r\n",
                static_cast<unsigned long>(id));
  EXPECT_EQ(engine.headers().at(0),
            "Body: ScanDatabase\\0.BDY\r\nSubject: two files\r\nFrom: bob@example.com\r\n"
            "To: ann@example.com\r\nAttachment: ScanDatabase\\0.ATT,a.doc\r\n"
            "Attachment: ScanDatabase\\1.ATT,b.doc\r\n");
  // Each attachment comes from its own item, not twice from the first.
  EXPECT_EQ(attachments, (std::vector<std::string>{"first file", "second file"}));
  EXPECT_EQ(run_.counters.scanned, 1);
  EXPECT_EQ(run_.counters.with_attachments, 1);
  EXPECT_EQ(run_.counters.attachments, 2);
  const std::string log = Log();
  EXPECT_NE(log.find("\tRecipient(s) <ann@example.com> \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tAttachment(s) <a.doc,b.doc> \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(scanned_line), std::string::npos) << log;
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DocumentScanTest, DocumentWithoutBodyOrAttachmentsIsCountedButNotSent) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID id = MakeMail(db, "empty", "", {});
  FakeEngine engine(run_.paths, [](const std::string&, const std::string&) {});
  ASSERT_EQ(ScanOne(db, id), NOERROR);
  Sleep(50);
  EXPECT_EQ(engine.jobs(), 0);
  EXPECT_EQ(run_.counters.scanned, 1);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DocumentScanTest, MissingDefaultsComeFromTheFirstAdministrator) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID id = MakeMail(db, "no header", "text\r\n", {});
  FakeEngine engine(run_.paths, [](const std::string&, const std::string&) {});
  ASSERT_EQ(ScanOne(db, id), NOERROR);
  const std::string header = engine.headers().at(0);
  EXPECT_NE(header.find("From: admin@example.com\r\n"), std::string::npos) << header;
  EXPECT_NE(header.find("To: admin@example.com\r\n"), std::string::npos) << header;
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DocumentScanTest, TimeOutsAreCountedAndTheFourthStopsTheRun) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID id = MakeMail(db, "slow", "text\r\n", {{"a.doc", "x"}});
  run_.timeout_ms = 50;
  {
    FakeEngine silent(run_.paths, nullptr);
    ASSERT_EQ(ScanOne(db, id), NOERROR);
    ASSERT_EQ(ScanOne(db, id), NOERROR);
    EXPECT_EQ(run_.timeouts, 2);
  }
  {
    FakeEngine answering(run_.paths, [](const std::string&, const std::string& result_dir) {
      SweepTest::WriteAbsolute(result_dir + "/0.hd0", "Body: ScanDatabase\\0.bdy\r\n");
    });
    run_.timeout_ms = 5000;
    ASSERT_EQ(ScanOne(db, id), NOERROR);
    EXPECT_EQ(run_.timeouts, 1);
  }
  run_.timeouts = kTimeoutLimit;
  const int scanned = run_.counters.scanned;
  ASSERT_EQ(ScanOne(db, id), NOERROR);
  EXPECT_EQ(run_.counters.scanned, scanned);
  EXPECT_NE(Log().find("TimeOut Happens More than 3 times.. So exiting Scanning"),
            std::string::npos);
  EXPECT_NE(Log().find("Error: Timeout happened 0 (second)... Vantrel Not Responding"),
            std::string::npos);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DocumentScanTest, AnEarlierErrorAnswerDoesNotStayForTheNextDocument) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID id = MakeMail(db, "mail", "text\r\n", {});
  WriteAbsolute(run_.paths.result_dir + "/error.hdr", "Error: earlier\r\n");
  bool error_seen = true;
  FakeEngine engine(run_.paths, [&](const std::string&, const std::string& result_dir) {
    error_seen = std::filesystem::exists(result_dir + "/error.hdr");
  });
  ASSERT_EQ(ScanOne(db, id), NOERROR);
  EXPECT_FALSE(error_seen);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// The headers of the documents before must not pile up in the job directory: the engine
// looks for the newest one and the clean-up lists the directory for every document.
TEST_F(DocumentScanTest, EachDocumentTakesItsHeaderAlongWhenItIsDone) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  std::vector<NOTEID> ids;
  for (const char* subject : {"one", "two", "three"})
    ids.push_back(MakeMail(db, subject, "text\r\n", {{"a.doc", subject}}));
  auto headers_in = [](const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.path().extension() == ".hdr") names.push_back(entry.path().filename().string());
    return names;
  };
  std::vector<std::vector<std::string>> seen;
  {
    FakeEngine engine(run_.paths, [&](const std::string& job_dir, const std::string&) {
      seen.push_back(headers_in(job_dir));
    });
    for (NOTEID id : ids) ASSERT_EQ(ScanOne(db, id), NOERROR);
    ASSERT_EQ(engine.jobs(), 3);
  }
  ASSERT_EQ(seen.size(), 3u);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%lX.hdr", static_cast<unsigned long>(ids[i]));
    EXPECT_EQ(seen[i], std::vector<std::string>{name}) << "document " << i;
  }
  EXPECT_TRUE(headers_in(run_.paths.job_dir).empty());

  // A document the engine never answers gives its header up with the wait.
  run_.timeout_ms = 50;
  {
    FakeEngine silent(run_.paths, nullptr);
    ASSERT_EQ(ScanOne(db, ids[0]), NOERROR);
  }
  EXPECT_EQ(run_.timeouts, 1);
  EXPECT_TRUE(headers_in(run_.paths.job_dir).empty());
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// An answer names the job it answers. One that names another job (it came after the
// scanner gave up on that document, or the engine answered a job twice) is never applied
// to the document in hand, whatever it asks for; the document's own answer still is.
TEST_F(DocumentScanTest, AnAnswerIsAppliedOnlyToTheDocumentItWasGivenFor) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID first = MakeMail(db, "first", "text\r\n", {{"a.doc", "one"}});
  const NOTEID second = MakeMail(db, "second", "text\r\n", {{"b.doc", "two"}});
  const std::string first_before = NoteState(db, first);
  const std::string second_before = NoteState(db, second);

  // A delete answer and an error answer that name another job: waited past, then the wait
  // runs out; the document stays as it is.
  run_.timeout_ms = 300;
  for (const char* other : {"0.hd0", "error.hdr"}) {
    FakeEngine engine(run_.paths, [&](const std::string&, const std::string& result_dir) {
      WriteAbsolute(result_dir + "/Delete.txt", "");
      WriteAbsolute(result_dir + "/" + other, std::string(other) == "0.hd0"
                                                  ? "Body: ScanDatabase\\0.bdy\r\nJob: 7\r\n"
                                                  : "Error: x\r\nJob: 7\r\n");
    });
    ASSERT_EQ(ScanOne(db, first), NOERROR);
    EXPECT_EQ(NoteState(db, first), first_before) << other;
  }
  EXPECT_EQ(run_.timeouts, 2);
  EXPECT_EQ(run_.counters.scanned, 0);
  EXPECT_EQ(run_.counters.not_scanned, 2);
  EXPECT_NE(Log().find("Answer of job 7 is not for this document"), std::string::npos) << Log();

  // The first document's answer (delete it) comes a second time while the engine answers
  // the second document, which is clean.
  run_.timeouts = 0;
  run_.timeout_ms = 5000;
  {
    std::atomic<FakeEngine*> self{nullptr};
    FakeEngine engine(run_.paths, [&](const std::string&, const std::string& result_dir) {
      if (self.load()->sequences().size() < 2) return;
      WriteAbsolute(result_dir + "/Delete.txt", "");
      WriteAbsolute(result_dir + "/0.hd0", "Body: ScanDatabase\\0.bdy\r\nJob: " +
                                               self.load()->sequences().front() + "\r\n");
      FakeEngine::Signal();
      Sleep(200);
      std::filesystem::remove(result_dir + "/Delete.txt");
      std::filesystem::remove(result_dir + "/0.hd0");
    });
    self = &engine;
    ASSERT_EQ(ScanOne(db, first), NOERROR);
    ASSERT_EQ(ScanOne(db, second), NOERROR);
    EXPECT_EQ(engine.jobs(), 2);
  }
  EXPECT_EQ(NoteState(db, first), first_before);
  EXPECT_EQ(NoteState(db, second), second_before);
  EXPECT_EQ(run_.timeouts, 0);
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

// The engine is slow on the first document: its answer (delete, with a virus name) comes
// after the scanner gave up, while it waits for the second, clean document. The
// second document keeps its own answer; the first is left for a later run.
TEST_F(DocumentScanTest, ALateAnswerIsNotAppliedToTheNextDocument) {
  DBHANDLE db = MakeDatabase("mail/ann.nsf");
  const NOTEID first = MakeMail(db, "infected", "text\r\n", {{"eicar.com", "virus"}});
  const NOTEID second = MakeMail(db, "clean", "text\r\n", {{"b.doc", "two"}});
  const std::string first_before = NoteState(db, first);
  const std::string second_before = NoteState(db, second);
  run_.timeout_ms = 500;
  {
    int job = 0;
    FakeEngine engine(run_.paths, [&](const std::string& job_dir, const std::string& result_dir) {
      if (++job > 1) return;
      // Held until the scanner has given the first document up and published the second.
      for (int i = 0; i < 2000 && !std::filesystem::exists(job_dir + "/scannow.txt"); ++i)
        Sleep(10);
      WriteAbsolute(result_dir + "/Delete.txt", "");
      WriteAbsolute(run_.paths.scan_dir + "/Virnames.txt", "Test.Virus found in eicar.com\r\n");
    });
    ASSERT_EQ(ScanOne(db, first), NOERROR);
    run_.timeout_ms = 20000;
    ASSERT_EQ(ScanOne(db, second), NOERROR);
    EXPECT_EQ(engine.jobs(), 2);
  }
  EXPECT_EQ(NoteState(db, first), first_before);
  EXPECT_EQ(NoteState(db, second), second_before);
  EXPECT_EQ(run_.counters.scanned, 1);
  EXPECT_EQ(run_.counters.not_scanned, 1);
  EXPECT_EQ(run_.counters.disinfected, 0);
  const std::string log = Log();
  EXPECT_NE(log.find("is not for this document"), std::string::npos) << log;
  EXPECT_EQ(log.find("Test.Virus"), std::string::npos) << log;
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(DocumentScanTest, UniqueNamesAndTheCleanUpKeepHeaders) {
  const std::string dir = run_.paths.job_dir;
  EXPECT_EQ(GetUniqueFileName(dir, ".BDY"), dir + "/0.BDY");
  WriteAbsolute(dir + "/0.BDY", "x");
  EXPECT_EQ(GetUniqueFileName(dir, ".BDY"), dir + "/1.BDY");
  WriteAbsolute(dir + "/8F6.hdr", "Body: x\r\n");
  WriteAbsolute(dir + "/sub/0.ATT", "x");
  CleanDirectory(dir, false);
  EXPECT_TRUE(std::filesystem::exists(dir + "/8F6.hdr"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/0.BDY"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/sub/0.ATT"));
  CleanDirectory(dir, true);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace vtsweep
