// machine_crash_test.cpp - mail the server answered "250" for survives a crash of the machine
// at any point: SMTP clients send mail while the router delivers it, every write and sync of
// the server's processes is recorded, and the disk is rebuilt as a crash at hundreds of
// points would leave it (what was synced, and of the rest nothing or a random prefix of each
// file's and directory's changes). At each point every database passes SQLite's integrity
// check, every mail the client was told "250" for before that point is in mail.box or in
// bob's mail file (never twice there), and every attachment a note names has its whole
// content file. At some points the router is started on what is left: each such mail then
// ends in bob's mail file exactly once.
//
// VT_CRASH_POINTS sets the number of points (default 200) and VT_CRASH_MAILS the mails per
// client (default 12), for a longer run; VT_CRASH_SEED fixes the random choices.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/crashsim/crash_image.h"
#include "platform/crashsim/sync_log.h"
#include "platform/server/server_test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int Setting(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Sends mails on one connection; calls accepted(subject) for each "250" to its data.
bool SendMails(int port, const std::vector<std::string>& subjects,
               const std::function<void(const std::string&)>& accepted) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  std::string pending;
  auto reply = [&]() -> std::string {
    for (;;) {
      size_t end = pending.find("\r\n");
      if (end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (line.size() > 3 && line[3] == '-') continue;
        return line.substr(0, 3);
      }
      char buffer[1024];
      ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return "";
      pending.append(buffer, static_cast<size_t>(got));
    }
  };
  auto send = [&](const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(text.size());
  };
  bool ok = reply() == "220" && send("EHLO client.example.com\r\n") && reply() == "250";
  for (size_t i = 0; ok && i < subjects.size(); ++i) {
    std::string message = "From: alice@example.com\r\nTo: bob@example.com\r\nSubject: " +
                          subjects[i] + "\r\nMIME-Version: 1.0\r\n";
    if (i % 2 == 0) {
      message += "Content-Type: text/plain\r\n\r\nA mail that must not be lost.\r\n";
    } else {
      // An attachment: its content is a file of its own beside the database.
      std::string part;
      for (int line = 0; line < 40; ++line) part += std::string(76, 'A' + line % 26) + "\r\n";
      message += "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: "
                 "text/plain\r\n\r\nSee the attachment.\r\n--b\r\nContent-Type: "
                 "application/octet-stream; name=data.bin\r\nContent-Transfer-Encoding: "
                 "base64\r\n\r\n" + part + "--b--\r\n";
    }
    ok = send("MAIL FROM:<alice@example.com>\r\n") && reply() == "250" &&
         send("RCPT TO:<bob@example.com>\r\n") && reply() == "250" && send("DATA\r\n") &&
         reply() == "354" && send(message + ".\r\n");
    std::string code = ok ? reply() : "";
    if (code == "250") accepted(subjects[i]);
    ok = ok && !code.empty();
  }
  if (ok) (void)send("QUIT\r\n");
  ::close(fd);
  return ok;
}

// A database file of the image, opened as SQLite opens it after a crash (recovering its log).
class RawDatabase {
 public:
  explicit RawDatabase(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &sql_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(sql_);
      sql_ = nullptr;
    }
  }
  ~RawDatabase() { sqlite3_close(sql_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  [[nodiscard]] bool ok() const { return sql_ != nullptr; }
  // The first column of every row of query, as text.
  std::vector<std::string> Column(const char* query, const std::string& blob = std::string()) {
    std::vector<std::string> values;
    sqlite3_stmt* statement = nullptr;
    if (sql_ == nullptr ||
        sqlite3_prepare_v2(sql_, query, -1, &statement, nullptr) != SQLITE_OK) {
      values.push_back("<error: " + std::string(sql_ ? sqlite3_errmsg(sql_) : "no file") + ">");
      return values;
    }
    if (!blob.empty()) {
      sqlite3_bind_blob(statement, 1, blob.data(), static_cast<int>(blob.size()),
                        SQLITE_TRANSIENT);
    }
    int code;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    if (code != SQLITE_DONE) values.push_back("<error: " + std::string(sqlite3_errmsg(sql_)) + ">");
    sqlite3_finalize(statement);
    return values;
  }

 private:
  sqlite3* sql_ = nullptr;
};

class MachineCrashTest : public vtserver_test::ServerRootTest {
 protected:
  void SetUp() override {
    if (kSanitized) {
      GTEST_SKIP() << "the sync recorder is preloaded in front of the C library, where a "
                      "sanitizer's own interceptors must come first";
    }
    ServerRootTest::SetUp();
    log_ = root_ + ".synclog";
    ::unlink(log_.c_str());
  }
  void TearDown() override {
    if (kSanitized) return;
    ServerRootTest::TearDown();
    if (!HasFailure()) ::unlink(log_.c_str());
  }

  // Runs the server with its writes recorded while clients send mail; returns the subjects
  // the clients were told "250" for.
  std::vector<std::string> RecordRun(int clients, int mails_per_client) {
    EXPECT_TRUE(crashsim::RecordInitialState(root_, log_));
    setenv("LD_PRELOAD", VT_SYNC_RECORD_LIBRARY, 1);
    setenv("VT_SYNCLOG", log_.c_str(), 1);
    setenv("VT_SYNCLOG_ROOT", root_.c_str(), 1);
    vtserver_test::Child& smtp = Start("nsmtp");
    vtserver_test::Child& router = Start("nrouter");
    unsetenv("LD_PRELOAD");
    unsetenv("VT_SYNCLOG");
    unsetenv("VT_SYNCLOG_ROOT");
    std::mutex mutex;
    std::vector<std::string> accepted;
    EXPECT_TRUE(vtserver_test::WaitFor([&] {
      return SendMails(port_, {"warm-up"}, [&](const std::string& subject) {
        std::lock_guard<std::mutex> lock(mutex);
        accepted.push_back(subject);
        EXPECT_TRUE(crashsim::AppendMark(log_, subject));
      });
    }));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        std::vector<std::string> subjects;
        for (int m = 0; m < mails_per_client; ++m) {
          subjects.push_back("crash mail " + std::to_string(c) + "-" + std::to_string(m));
        }
        EXPECT_TRUE(SendMails(port_, subjects, [&](const std::string& subject) {
          // Marked while the server waits for the next command: the mark lands after the
          // sync that made the mail durable, where a crash has already kept it.
          std::lock_guard<std::mutex> lock(mutex);
          accepted.push_back(subject);
          EXPECT_TRUE(crashsim::AppendMark(log_, subject));
        }));
      });
    }
    for (std::thread& thread : threads) thread.join();
    // The router keeps delivering for a moment; then the machine loses power.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (vtserver_test::Child* child : {&smtp, &router}) {
      ::kill(child->pid, SIGKILL);
      EXPECT_EQ(Wait(*child, 10000), 128 + SIGKILL);
    }
    return accepted;
  }

  // Checks the image now in the root against the mails accepted before its crash point;
  // returns what is wrong, one line each.
  std::vector<std::string> CheckImage(const std::vector<std::string>& accepted) {
    std::vector<std::string> problems;
    const std::string data = root_ + "/domino/data/";
    for (const char* name : {"names.nsf", "mail.box", "mail2.box", "mail/alice.nsf",
                             "mail/bob.nsf"}) {
      RawDatabase db(data + name);
      std::vector<std::string> check = db.Column("PRAGMA integrity_check");
      if (check != std::vector<std::string>{"ok"}) {
        problems.push_back(std::string(name) + ": integrity check " +
                           (check.empty() ? "empty" : check.front()));
        continue;
      }
      // Every content row a note names has its whole file (or chunks of an older file).
      for (const std::string& row : db.Column(
               "SELECT id || ' ' || size FROM objects o WHERE note_id IS NOT NULL AND NOT EXISTS"
               " (SELECT 1 FROM object_chunks c WHERE c.object_id = o.id)")) {
        const std::string id = row.substr(0, row.find(' '));
        const std::string size = row.substr(row.find(' ') + 1);
        struct stat info {};
        const std::string file = data + name + ".content/" + id;
        if (::stat(file.c_str(), &info) != 0 || std::to_string(info.st_size) != size) {
          problems.push_back(file + " missing or short (row says " + size + " bytes)");
        }
      }
    }
    RawDatabase box(data + "mail.box");
    RawDatabase bob(data + "mail/bob.nsf");
    const char* count =
        "SELECT count(DISTINCT note_id) FROM text_index WHERE name = CAST('subject' AS BLOB) AND value = ?1";
    for (const std::string& subject : accepted) {
      const std::string in_box = box.Column(count, subject).at(0);
      const std::string in_bob = bob.Column(count, subject).at(0);
      if (in_box == "0" && in_bob == "0") problems.push_back("accepted mail lost: " + subject);
      if (in_bob != "0" && in_bob != "1") problems.push_back("delivered twice: " + subject);
    }
    return problems;
  }

  // Starts the router on the image until mail.box is empty; then every accepted mail must
  // be in bob's mail file exactly once.
  std::vector<std::string> CheckRestart(const std::vector<std::string>& accepted) {
    std::vector<std::string> problems;
    const std::string data = root_ + "/domino/data/";
    vtserver_test::Child& router = Start("nrouter");
    bool emptied = vtserver_test::WaitFor([&] {
      RawDatabase box(data + "mail.box");
      return box.Column("SELECT count(*) FROM notes") == std::vector<std::string>{"0"};
    }, 30000);
    EXPECT_EQ(Stop(router, 10000), 0);
    if (!emptied) problems.push_back("the router left mail in mail.box after the restart");
    RawDatabase bob(data + "mail/bob.nsf");
    const char* count =
        "SELECT count(DISTINCT note_id) FROM text_index WHERE name = CAST('subject' AS BLOB) AND value = ?1";
    for (const std::string& subject : accepted) {
      const std::string in_bob = bob.Column(count, subject).at(0);
      if (in_bob != "1") {
        problems.push_back("after the restart " + subject + " is in bob's mail file " + in_bob +
                           " times");
      }
    }
    return problems;
  }

  // Rebuilds the root as a crash at `points` points would leave it, checks each image and
  // restarts the router on `restarts` of them; returns every problem, with its point.
  std::vector<std::string> CrashAtPoints(int points, int restarts, crashsim::Unsynced unsynced) {
    std::vector<crashsim::Record> records;
    EXPECT_TRUE(crashsim::ReadLog(log_, &records));
    size_t first = 0;  // the first record of the run, after the initial state
    while (first < records.size() && records[first].kind != crashsim::RecordKind::kSyncAll) {
      ++first;
    }
    ++first;
    crashsim::CrashImages images(std::move(records));
    const unsigned seed = static_cast<unsigned>(Setting("VT_CRASH_SEED", 20261208));
    std::mt19937_64 random(seed);
    std::vector<std::string> problems;
    for (int p = 0; p < points; ++p) {
      const size_t point =
          first + (images.size() - first) * static_cast<size_t>(p + 1) / static_cast<size_t>(points);
      std::string error;
      if (!images.WriteImage(point, unsynced, &random, root_, root_, &error)) {
        problems.push_back("point " + std::to_string(point) + ": " + error);
        break;
      }
      const std::vector<std::string> accepted = images.MarksBefore(point);
      std::vector<std::string> found = CheckImage(accepted);
      if (found.empty() && restarts > 0 && p % (points / restarts) == points / restarts - 1) {
        found = CheckRestart(accepted);
      }
      for (const std::string& problem : found) {
        problems.push_back("point " + std::to_string(point) + " of " +
                           std::to_string(images.size()) + " (seed " + std::to_string(seed) +
                           "): " + problem);
      }
    }
    return problems;
  }

  std::string log_;
};

std::string FirstOf(const std::vector<std::string>& problems, size_t most) {
  std::string text;
  for (size_t i = 0; i < problems.size() && i < most; ++i) text += problems[i] + "\n";
  return text;
}

TEST_F(MachineCrashTest, AcceptedMailAndEveryDatabaseSurviveACrashAtAnyPoint) {
  const std::vector<std::string> accepted = RecordRun(4, Setting("VT_CRASH_MAILS", 12));
  ASSERT_GE(accepted.size(), 40u);
  const int points = Setting("VT_CRASH_POINTS", 200);
  std::vector<std::string> problems =
      CrashAtPoints(points, 4, crashsim::Unsynced::kRandomPrefix);
  EXPECT_TRUE(problems.empty()) << problems.size() << " problems, the first:\n"
                                << FirstOf(problems, 10);
}

// The harness sees a loss: with syncing turned off (a test machine's setting), a crash that
// keeps nothing unsynced loses accepted mail.
TEST_F(MachineCrashTest, WithoutSyncsACrashLosesAcceptedMail) {
  WriteNotesIni("NSF_SyncCommits=0\n");
  const std::vector<std::string> accepted = RecordRun(2, 4);
  ASSERT_GE(accepted.size(), 8u);
  std::vector<std::string> problems = CrashAtPoints(10, 0, crashsim::Unsynced::kLost);
  EXPECT_FALSE(problems.empty());
  EXPECT_NE(FirstOf(problems, 1).find("accepted mail lost"), std::string::npos)
      << FirstOf(problems, 3);
}

}  // namespace
