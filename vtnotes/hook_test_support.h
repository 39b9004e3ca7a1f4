// hook_test_support.h - a router task in the test process, and an engine thread answering.
//
// For the extension's tests only. A RouterTest makes a machine root (test_support.h), a
// notes.ini and the router's databases (mail.box, mail2.box, vtquaran.nsf), claims the
// router's identity, starts the Notes runtime and installs the extension's hooks through
// the Notes stand-in's seam. A FakeEngine holds maildisp.lck and answers every published
// job with whatever its answer routine writes into the OUT job directory, then sets the
// job event, as the engine does.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/log.h"
#include "platform/notes/notes.h"
#include "platform/win32/windows.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/hooks.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/test_support.h"

namespace vtnotes::testing_support {

class FakeEngine {
 public:
  // Writes the answer of one job; the engine then sets the job's event.
  using Answer = std::function<void(const std::string& job_id, const std::string& in_job,
                                    const std::string& out_job)>;

  FakeEngine(std::string install, std::string in, std::string out, Answer answer)
      : install_(std::move(install)), in_(std::move(in)), out_(std::move(out)),
        answer_(std::move(answer)) {
    lock_ = CreateFile((install_ + "/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    thread_ = std::thread([this] { Loop(); });
  }
  ~FakeEngine() { Stop(); }
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (lock_ != INVALID_HANDLE_VALUE && lock_ != nullptr) CloseHandle(lock_);
    lock_ = nullptr;
  }
  [[nodiscard]] int answered() const { return answered_; }

 private:
  void Loop() {
    while (!stop_) {
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(in_, error)) {
        std::string job_id = entry.path().filename().string();
        std::string header = entry.path().string() + "/0.hdr";
        if (!std::filesystem::exists(header, error)) continue;
        std::string out_job = out_ + "/" + job_id;
        std::filesystem::create_directories(out_job, error);
        if (answer_) answer_(job_id, entry.path().string(), out_job);
        std::filesystem::remove(header, error);  // taken: not answered twice
        // Counted before the event is set: a test that reads the count once the hook has
        // returned must find this answer in it.
        ++answered_;
        HANDLE event = OpenEvent(EVENT_MODIFY_STATE, FALSE, (job_id + "x").c_str());
        if (event) {
          SetEvent(event);
          CloseHandle(event);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::string install_, in_, out_;
  Answer answer_;
  HANDLE lock_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

// Writes a file of an engine answer.
inline void WriteAnswerFile(const std::string& path, const std::string& text) {
  RootTest::WriteFile(path, text);
}

// The engine's answer for a clean mail: a result header and nothing to change.
inline void AnswerClean(const std::string&, const std::string&, const std::string& out_job) {
  WriteAnswerFile(out_job + "/r.hd0", "Body: x\\0.bdy\r\n");
}

class RouterTest : public RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    WriteText("domino/notes.ini", "[Notes]\nDirectory=" + Path("domino/data") +
                                      "\nServerName=CN=Mail1/O=Acme\n");
    vtplatform::MachineIdentity identity;
    identity.module_path = Path("domino/nRouter");
    vtplatform::SetMachineIdentity(identity);
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    for (const char* db : {"mail.box", "mail2.box", "vtquaran.nsf"})
      ASSERT_EQ(NSFDbCreate(db, DBCLASS_NOTEFILE, FALSE), NOERROR);
    WriteProductValue("VTADMINDB", "vtquaran.nsf");
    WriteProductValue("TimeOut", "1");
    WriteProductValue("VTDEBUG", "10");
    WriteText("vantrel/vantrel.ini", "[General]\r\nScanDir=In\r\nReportDirectory=" +
                                         Path("vantrel/logs") +
                                         "\r\nAdminEmailId=admin@example.com\r\n"
                                         "WarningMailsFromUser=vantrel@example.com\r\n");
  }
  void TearDown() override {
    StopRouter();
    engine_.reset();
    NotesTerm();
    RootTest::TearDown();
  }

  void StartEngine(FakeEngine::Answer answer) {
    engine_ = std::make_unique<FakeEngine>(Path("vantrel"), In(), Out(), std::move(answer));
  }
  void StartRouter() {
    vector_ = VtInstallHookEntry(EntryPoint);
    ASSERT_NE(vector_, nullptr);
    ASSERT_TRUE(State().started);
  }
  void StopRouter() {
    if (State().started) Term(vector_);
    VtRemoveHooks();
  }

  // A new MIME mail in the box; returns its note ID.
  NOTEID PutMail(const char* box, const std::string& subject,
                 const std::string& from = "ann@example.com",
                 const std::string& text = "Hello Bob\r\n",
                 const std::string& attachment_path = "",
                 const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Form", "Memo", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "From", from.c_str(), MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "Subject", subject.c_str(), MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "SendTo", "bob@example.com", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemCreateTextList(note, "Recipients", "bob@example.com", MAXWORD), NOERROR);
    std::string mime = "From: " + from + "\r\nTo: bob@example.com\r\nSubject: " + subject +
                       "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n" + text;
    EXPECT_EQ(VtNoteSetMimeBody(note, "Body", mime.c_str(), static_cast<DWORD>(mime.size())),
              NOERROR);
    if (!attachment_path.empty()) {
      EXPECT_EQ(NSFNoteAttachFile(note, "$FILE", 5, attachment_path.c_str(),
                                  std::filesystem::path(attachment_path).filename().c_str(),
                                  COMPRESS_NONE),
                NOERROR);
    }
    for (const auto& [name, value] : extra)
      EXPECT_EQ(NSFItemSetText(note, name.c_str(), value.data(), static_cast<WORD>(value.size())),
                NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return id;
  }

  // Opens the note as the router does (the hooks run); returns the status, and the opened
  // copy's Body text and attachment count when the open succeeded.
  struct Opened {
    STATUS status = 0;
    std::string body;
    int attachments = 0;
    std::string subject;
  };
  static Opened OpenAsRouter(const char* box, NOTEID id) {
    Opened opened;
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    opened.status = NSFNoteOpen(db, id, OPEN_DEFAULT, &note);
    if (opened.status == NOERROR) {
      char text[4096] = {};
      NSFItemGetText(note, "Subject", text, sizeof text);
      opened.subject = text;
      std::string tmp = std::filesystem::temp_directory_path().string() + "/vtnotes-body-" +
                        std::to_string(::getpid()) + "-" + std::to_string(id) + "-" +
                        std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
      DWORD size = 0;
      if (MailGetMessageBodyText(note, "Body", "\n", 0, FALSE, tmp.c_str(), &size) == NOERROR)
        opened.body = ReadFile(tmp);
      std::filesystem::remove(tmp);
      while (MailGetMessageAttachmentInfo(note, static_cast<WORD>(opened.attachments), nullptr,
                                          nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        ++opened.attachments;
      EXPECT_EQ(NSFNoteClose(note), NOERROR);
    }
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return opened;
  }

  // Documents in a database, counted beside the Notes stand-in (opening them would run
  // the hooks).
  int CountNotes(const char* db_path) const {
    sqlite3* sql = nullptr;
    int count = -1;
    if (sqlite3_open(Path(std::string("domino/data/") + db_path).c_str(), &sql) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(sql, "SELECT COUNT(*) FROM notes", -1, &statement, nullptr) ==
              SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW)
        count = sqlite3_column_int(statement, 0);
      sqlite3_finalize(statement);
    }
    sqlite3_close(sql);
    return count;
  }

  DBHOOKVEC* vector_ = nullptr;
  std::unique_ptr<FakeEngine> engine_;
};

}  // namespace vtnotes::testing_support
