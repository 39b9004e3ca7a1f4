// test_support.h - a machine root with the Notes runtime for the scanner's tests, and an
// engine played by the test.
//
// SweepTest makes a temporary root (data directory, install directory with IN and Out, a
// report directory), starts Notes on it and prepares a SweepRun whose log goes to
// Reports/test.log. FakeEngine answers the scanner's jobs on a thread of its own: it waits
// for scannow.txt, lets the test's answer routine fill the result directory, and sets
// "scandatabasex", as the engine does.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"
#include "vtsweep/document_scan.h"
#include "vtsweep/driver.h"
#include "vtsweep/sweep_log.h"
#include "vtsweep/sweep_run.h"

namespace vtsweep::testing_support {

class SweepTest : public ::testing::Test {
 public:
  static void WriteAbsolute(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-sweep-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    for (const char* dir : {"domino/data/mail", "vantrel/IN", "vantrel/Out", "vantrel/Reports",
                            "windows", "tmp"})
      std::filesystem::create_directories(Path(dir));
    Write("domino/notes.ini", "[Notes]\nDirectory=" + Path("domino/data") + "\n");
    Write("vantrel/vantrel.ini", "[General]\r\nScanDir=IN\r\nReportDirectory=" +
                                     Path("vantrel/Reports") + "\r\n");
    vtplatform::SetSystemRoot(root_);
    ::setenv("VT_SYSROOT", root_.c_str(), 1);
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    Settings& settings = run_.settings;
    settings.install_dir = Path("vantrel");
    settings.scan_dir_name = "IN";
    settings.data_dir = Path("domino/data");
    settings.admins = {{"admin@example.com", "vtquaran.nsf"}};
    BuildScanPaths(run_);
    std::filesystem::create_directories(run_.paths.job_dir);
    std::filesystem::create_directories(run_.paths.result_dir);
    run_.timeout_ms = 5000;
    event_ = CreateEvent(nullptr, FALSE, FALSE, kScanEventName);
    run_.scan_event = event_;
    SetScanLogPath(Path("vantrel/Reports/test.log"));
  }

  void TearDown() override {
    CloseHandle(event_);
    SetScanLogPath("");
    NotesTerm();
    vtplatform::SetSystemRoot("");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  [[nodiscard]] std::string Path(const std::string& relative) const {
    return root_ + "/" + relative;
  }
  void Write(const std::string& relative, const std::string& text) const {
    WriteAbsolute(Path(relative), text);
  }
  [[nodiscard]] std::string Log() const { return Read(Path("vantrel/Reports/test.log")); }

  // A database below the data directory, opened; the caller closes it.
  DBHANDLE MakeDatabase(const std::string& relative) {
    EXPECT_EQ(VtDbCreateWithInfo(relative.c_str(), "test", "Mail", TRUE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(relative.c_str(), &db), NOERROR);
    return db;
  }

  struct Attachment {
    std::string name;
    std::string content;
  };

  // A posted mail with a rich-text body (when body is not empty) and attachments.
  NOTEID MakeMail(DBHANDLE db, const std::string& subject, const std::string& body,
                  const std::vector<Attachment>& attachments, const std::string& from = "",
                  const std::string& send_to = "") {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Form", "Memo", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Subject", subject.c_str(), MAXWORD), NOERROR);
    if (!from.empty()) {
      EXPECT_EQ(NSFItemSetText(note, "From", from.c_str(), MAXWORD), NOERROR);
    }
    if (!send_to.empty()) {
      EXPECT_EQ(NSFItemCreateTextList(note, "SendTo", send_to.c_str(), MAXWORD), NOERROR);
    }
    TIMEDATE now{};
    OSCurrentTIMEDATE(&now);
    EXPECT_EQ(NSFItemSetTime(note, "PostedDate", &now), NOERROR);
    if (!body.empty()) {
      const std::string file = Path("tmp/body.txt");
      WriteAbsolute(file, body);
      EXPECT_EQ(MailAddMessageBodyText(note, "Body", file.c_str(), 0, "\r\n", 0, nullptr),
                NOERROR);
    }
    for (const Attachment& attachment : attachments) {
      const std::string file = Path("tmp/" + attachment.name);
      WriteAbsolute(file, attachment.content);
      EXPECT_EQ(NSFNoteAttachFile(note, "$FILE", 5, file.c_str(), attachment.name.c_str(),
                                  COMPRESS_NONE),
                NOERROR);
    }
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    return id;
  }

  // What a document holds (body text and attachments with their contents), or "deleted":
  // equal before and after when nothing changed it.
  std::string NoteState(DBHANDLE db, NOTEID id) {
    NOTEHANDLE note = NULLHANDLE;
    if (NSFNoteOpen(db, id, 0, &note) != NOERROR) return "deleted";
    std::string state;
    const std::string file = Path("tmp/state.txt");
    DWORD size = 0;
    if (MailGetMessageBodyText(note, "Body", "\r\n", 0, FALSE, file.c_str(), &size) == NOERROR)
      state += "body:" + Read(file);
    BLOCKID item{};
    char name[MAXPATH];
    for (WORD i = 0; MailGetMessageAttachmentInfo(note, i, &item, name, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
         ++i) {
      state += std::string("|file:") + name + "=";
      if (NSFNoteExtractFile(note, item, file.c_str(), nullptr) == NOERROR) state += Read(file);
    }
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    return state;
  }

  // Runs the per-document routine on one note, as the search would.
  STATUS ScanOne(DBHANDLE db, NOTEID id) {
    DocumentSearch search{&run_, db};
    SEARCH_MATCH match{};
    match.ID.NoteID = id;
    match.SERetFlags = SE_FMATCH;
    return ScanDocument(&search, &match, nullptr);
  }

  std::string root_;
  SweepRun run_;
  HANDLE event_ = nullptr;
};

// Plays the engine: each publication (scannow.txt) is handed to `answer` with the job and
// result directories; then scannow.txt goes and "scandatabasex" is set. Without an answer
// routine the engine never answers. As the engine does, it clears an answer of another job
// before it answers, gives a job it answered without a result header or error answer the
// plain result header, and writes the job's sequence (scannow.txt) into the answer files
// that do not name a job yet.
class FakeEngine {
 public:
  using Answer = std::function<void(const std::string& job_dir, const std::string& result_dir)>;
  FakeEngine(const ScanPaths& paths, Answer answer)
      : paths_(paths), answer_(std::move(answer)), thread_([this] { Loop(); }) {}
  ~FakeEngine() {
    stop_ = true;
    thread_.join();
  }
  [[nodiscard]] int jobs() const { return jobs_; }
  // The sequences of the jobs the engine took, in order.
  [[nodiscard]] std::vector<std::string> sequences() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequences_;
  }
  // Sets "scandatabasex" as the engine does when it has answered.
  static void Signal() {
    HANDLE event = OpenEvent(EVENT_MODIFY_STATE, FALSE, kScanEventName);
    SetEvent(event);
    CloseHandle(event);
  }
  // The job header files the engine saw, in order.
  [[nodiscard]] std::vector<std::string> headers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return headers_;
  }

 private:
  void Loop() {
    const std::string scan_now = paths_.job_dir + "/scannow.txt";
    while (!stop_) {
      if (!std::filesystem::exists(scan_now)) {
        Sleep(5);
        continue;
      }
      const std::string sequence = Trimmed(SweepTest::Read(scan_now));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        sequences_.push_back(sequence);
      }
      std::filesystem::remove(scan_now);
      ++jobs_;
      if (!answer_) continue;
      ClearAnswerOfAnotherJob(sequence);
      // Each answer leaves the virus names of its own job only.
      std::filesystem::remove(std::filesystem::path(paths_.scan_dir) / "Virnames.txt");
      std::string newest;
      std::filesystem::file_time_type newest_time;
      for (const auto& entry : std::filesystem::directory_iterator(paths_.job_dir)) {
        if (entry.path().extension() != ".hdr") continue;
        if (newest.empty() || entry.last_write_time() > newest_time) {
          newest = entry.path().string();
          newest_time = entry.last_write_time();
        }
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        headers_.push_back(newest.empty() ? "" : SweepTest::Read(newest));
      }
      answer_(paths_.job_dir, paths_.result_dir);
      Sign(sequence);
      Signal();
    }
  }

  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
  std::vector<std::string> AnswerFiles() const {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(paths_.result_dir)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() == ".hd0" || name == "error.hdr")
        files.push_back(entry.path().string());
    }
    return files;
  }
  void ClearAnswerOfAnotherJob(const std::string& sequence) {
    for (const std::string& file : AnswerFiles()) {
      if (SweepTest::Read(file).find("Job: " + sequence + "\r\n") != std::string::npos) continue;
      for (const auto& entry : std::filesystem::directory_iterator(paths_.result_dir))
        if (entry.is_regular_file()) std::filesystem::remove(entry.path());
      return;
    }
  }
  void Sign(const std::string& sequence) {
    std::vector<std::string> files = AnswerFiles();
    if (files.empty()) {
      files.push_back(paths_.result_dir + "/0.hd0");
      SweepTest::WriteAbsolute(files.back(), "Body: ScanDatabase\\0.bdy\r\n");
    }
    for (const std::string& file : files) {
      const std::string text = SweepTest::Read(file);
      if (text.find("Job:") == std::string::npos)
        SweepTest::WriteAbsolute(file, text + "Job: " + sequence + "\r\n");
    }
  }

  ScanPaths paths_;
  Answer answer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> jobs_{0};
  std::mutex mutex_;
  std::vector<std::string> headers_;    // guarded by mutex_
  std::vector<std::string> sequences_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace vtsweep::testing_support
