// server_test_support.h - a fresh mail server root per test, and the helpers the server
// tests share: the directory with its people, mail bases, task processes, SMTP sockets.
//
// ServerRootTest makes a temporary root with notes.ini, names.nsf (alice and bob with mail
// files, carol without one), mail/alice.nsf, mail/bob.nsf, mail.box and mail2.box, points
// VT_SYSROOT at it (child processes inherit it) and starts the Notes runtime in the test
// process, which loads no hook library. TearDown stops every process the test started.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/notes.h"

namespace vtserver_test {

inline int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Polls condition every 20 ms for up to timeout_ms.
inline bool WaitFor(const std::function<bool()>& condition, int timeout_ms = 20000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

// A child process with its standard input on a pipe (the console).
struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;
};

class ServerRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vt_server_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/domino/data/mail");
    port_ = FreePort();
    WriteNotesIni("");
    setenv("VT_SYSROOT", root_.c_str(), 1);
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    MakeDirectory();
    for (const char* path : {"mail.box", "mail2.box"}) {
      ASSERT_EQ(VtDbCreateWithInfo(path, "Mail Router Mailbox", "", FALSE), NOERROR);
    }
    for (const char* path : {"mail/alice.nsf", "mail/bob.nsf"}) {
      ASSERT_EQ(VtDbCreateWithInfo(path, "Mail", "StdR85Mail", FALSE), NOERROR);
    }
  }

  void TearDown() override {
    for (Child& child : children_) Stop(child, 10000);
    NotesTerm();
    unsetenv("VT_SYSROOT");
    std::error_code ignored;
    if (!HasFailure()) std::filesystem::remove_all(root_, ignored);
  }

  // notes.ini with this test's port and quick router timings, plus extra lines.
  void WriteNotesIni(const std::string& extra) {
    std::ofstream(root_ + "/domino/notes.ini")
        << "[Notes]\nDirectory=" << root_ << "/domino/data\nServerName=CN=Mail1/O=Example\n"
        << "SMTPPort=" << port_ << "\nRouterPollMs=50\nRouterRetryInitialMs=100\n"
        << "RouterRetryMaxMs=400\n" << extra;
  }

  void AddPerson(DBHANDLE db, const std::string& full_name, const std::string& short_name,
                 const std::string& mail_file) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    std::string canonical = "CN=" + full_name + "/O=Example";
    std::string address = short_name + "@example.com";
    EXPECT_EQ(NSFItemSetText(note, "Form", "Person", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemAppendTextList(note, "FullName", canonical.c_str(), MAXWORD, TRUE), NOERROR);
    EXPECT_EQ(NSFItemAppendTextList(note, "FullName", full_name.c_str(), MAXWORD, TRUE), NOERROR);
    EXPECT_EQ(NSFItemCreateTextList(note, "ShortName", short_name.c_str(), MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note, "InternetAddress", address.c_str(), MAXWORD), NOERROR);
    if (!mail_file.empty()) {
      EXPECT_EQ(NSFItemSetText(note, "MailFile", mail_file.c_str(), MAXWORD), NOERROR);
    }
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
  }

  void MakeDirectory() {
    ASSERT_EQ(VtDbCreateWithInfo("names.nsf", "Directory", "", FALSE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
    AddPerson(db, "Alice Smith", "alice", "mail/alice.nsf");
    AddPerson(db, "Bob Jones", "bob", "mail/bob.nsf");
    AddPerson(db, "Carol White", "carol", "");
    EXPECT_EQ(NSFDbClose(db), NOERROR);
  }

  // The documents of a database, each as its item texts by name.
  struct Doc {
    NOTEID id = 0;
    std::string subject, from, form, hooked, failure_reason, body;
    bool is_report = false;
  };
  static STATUS CollectId(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
    if (match->SERetFlags & SE_FMATCH)
      static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
    return NOERROR;
  }
  std::vector<Doc> Docs(const char* path) {
    std::vector<Doc> docs;
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(path, &db) != NOERROR) return docs;
    std::vector<NOTEID> ids;
    (void)NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId, &ids,
                    nullptr);
    for (NOTEID id : ids) {
      NOTEHANDLE note = NULLHANDLE;
      if (NSFNoteOpen(db, id, 0, &note) != NOERROR) continue;
      Doc doc;
      doc.id = id;
      auto text = [&](const char* name) {
        char value[2048] = "";
        WORD length = NSFItemGetText(note, name, value, sizeof value);
        return std::string(value, length);
      };
      doc.subject = text("Subject");
      doc.from = text("From");
      doc.form = text("Form");
      doc.hooked = text("X-Hooked");
      doc.failure_reason = text("FailureReason");
      char body[8192] = "";
      DWORD body_len = 0;
      if (VtNoteGetMimeBody(note, "Body", body, sizeof body, &body_len) == NOERROR) {
        doc.body.assign(body, std::min<DWORD>(body_len, sizeof body - 1));
      }
      doc.is_report = MailIsNonDeliveryReport(note) != FALSE;
      (void)NSFNoteClose(note);
      docs.push_back(doc);
    }
    (void)NSFDbClose(db);
    return docs;
  }
  size_t Count(const char* path) { return Docs(path).size(); }

  static std::string ProgramPath(const char* name) {
    const char* build = getenv("VT_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/bin/" + name;
  }

  Child& Start(const char* program_name) {
    std::string program = ProgramPath(program_name);
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    std::string log = root_ + "/" + program_name + ".out";
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipe_fds[0], STDIN_FILENO);
      ::close(pipe_fds[0]);
      ::close(pipe_fds[1]);
      FILE* out = std::freopen(log.c_str(), "a", stdout);
      (void)out;
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(pipe_fds[0]);
    children_.push_back({pid, pipe_fds[1]});
    return children_.back();
  }

  // SIGTERM, then the exit code (128 + signal for a signal, -1 when it had to be killed).
  static int Stop(Child& child, int timeout_ms) {
    if (child.pid <= 0) return -1;
    ::kill(child.pid, SIGTERM);
    return Wait(child, timeout_ms);
  }
  static int Wait(Child& child, int timeout_ms) {
    int status = 0;
    bool done = WaitFor([&] { return ::waitpid(child.pid, &status, WNOHANG) == child.pid; },
                        timeout_ms);
    if (!done) {
      ::kill(child.pid, SIGKILL);
      ::waitpid(child.pid, &status, 0);
      status = -1;
    }
    if (child.stdin_fd >= 0) ::close(child.stdin_fd);
    child.pid = -1;
    child.stdin_fd = -1;
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string ReadRootFile(const std::string& relative) const {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string root_;
  int port_ = 0;
  std::list<Child> children_;  // a list: Start hands out references
};

}  // namespace vtserver_test
