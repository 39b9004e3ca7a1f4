// smtp_process_test.cpp - nsmtp and nserver as processes: mail sent by real clients that no
// one here wrote (swaks, Python's smtplib) delivered end to end, the pickup directory, the
// console and signals of nserver, and bad input on the SMTP port.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/server/server_test_support.h"

namespace vtserver {
namespace {

// A raw SMTP client for input that no well-behaved client would send.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout = {10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawClient() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool connected() const { return connected_; }
  // Each Send leaves as a segment of its own, as soon as it is made.
  void NoDelay() {
    int yes = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  }

  void Send(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t count = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) return;
      sent += static_cast<size_t>(count);
    }
  }
  // The code of the next complete reply (its last line is "NNN text"); "" on a timeout.
  std::string Reply() {
    for (;;) {
      size_t lf;
      while ((lf = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, lf);
        pending_.erase(0, lf + 1);
        if (line.size() >= 4 && line[3] == ' ') return line.substr(0, 3);
      }
      char buffer[1024];
      ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
      if (count <= 0) return "";
      pending_.append(buffer, static_cast<size_t>(count));
    }
  }
  std::string Command(const std::string& line) {
    Send(line + "\r\n");
    return Reply();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

class SmtpProcessTest : public vtserver_test::ServerRootTest {
 protected:
  bool Listening() {
    return vtserver_test::WaitFor([&] {
      RawClient probe(port_);
      return probe.connected() && probe.Reply() == "220";
    });
  }

  static int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The process id nserver last logged for a task, started or restarted.
  pid_t TaskPid(const std::string& task) {
    std::string log = ReadRootFile("domino/console.log");
    pid_t pid = -1;
    size_t last = 0;
    for (const char* how : {" started (process ", " restarted (process "}) {
      std::string marker = "Task " + task + how;
      size_t at = log.rfind(marker);
      if (at != std::string::npos && (pid < 0 || at > last)) {
        pid = std::stoi(log.substr(at + marker.size()));
        last = at;
      }
    }
    return pid;
  }
};

TEST_F(SmtpProcessTest, ServerDeliversMailFromRealClientsAndStopsOnQuit) {
  vtserver_test::Child& server = Start("nserver");
  ASSERT_TRUE(Listening()) << ReadRootFile("nserver.out");
  const std::string port = std::to_string(port_);

  ASSERT_EQ(Run("swaks --silent 2 --server 127.0.0.1:" + port +
                " --from alice@example.com --to bob@example.com"
                " --header 'Subject: sent with swaks' --body 'Hello Bob' >" + root_ +
                "/swaks.out 2>&1"),
            0)
      << ReadRootFile("swaks.out");
  const std::string script =
      "import smtplib\n"
      "from email.message import EmailMessage\n"
      "m = EmailMessage()\n"
      "m['From'] = 'Alice Smith <alice@example.com>'\n"
      "m['To'] = 'nobody@example.com'\n"
      "m['Subject'] = 'sent with smtplib'\n"
      "m.set_content('.dot at the start\\nsecond line')\n"
      "with smtplib.SMTP('127.0.0.1', " + port + ") as s:\n"
      "    s.send_message(m)\n"
      "    s.send_message(m, to_addrs=['bob@example.com'])\n"
      // Raw bytes go out as they are: every line ends in a bare LF.
      "    s.sendmail('alice@example.com', ['bob@example.com'],\n"
      "               b'Subject: raw bytes\\n\\nfirst line\\n.\\nafter a lone dot\\n')\n";
  std::ofstream(root_ + "/send.py") << script;
  ASSERT_EQ(Run("python3 " + root_ + "/send.py >" + root_ + "/py.out 2>&1"), 0)
      << ReadRootFile("py.out");
  std::ofstream(root_ + "/domino/data/pickup/.drop")
      << "From: bob@example.com\r\nTo: Alice Smith <alice@example.com>\r\n"
         "Subject: from the pickup directory\r\n\r\nHi\r\n";
  std::filesystem::rename(root_ + "/domino/data/pickup/.drop",
                          root_ + "/domino/data/pickup/message1");

  ASSERT_TRUE(vtserver_test::WaitFor([&] {
    return Count("mail/bob.nsf") == 3 && Count("mail/alice.nsf") == 2;
  })) << ReadRootFile("domino/console.log");
  std::vector<Doc> bob = Docs("mail/bob.nsf");
  bool swaks_seen = false, smtplib_seen = false, raw_seen = false;
  for (const Doc& doc : bob) {
    if (doc.subject == "sent with swaks") swaks_seen = true;
    if (doc.subject == "raw bytes") {
      raw_seen = true;
      // Kept whole, as it came; the client stuffed the lone dot after a bare LF.
      EXPECT_NE(doc.body.find("first line\n.\nafter a lone dot\n"), std::string::npos)
          << doc.body;
    }
    if (doc.subject == "sent with smtplib") {
      smtplib_seen = true;
      EXPECT_NE(doc.body.find("\r\n.dot at the start\r\n"), std::string::npos) << doc.body;
    }
  }
  EXPECT_TRUE(swaks_seen);
  EXPECT_TRUE(smtplib_seen);
  EXPECT_TRUE(raw_seen);
  std::vector<Doc> alice = Docs("mail/alice.nsf");
  int reports = 0;
  for (const Doc& doc : alice) reports += doc.is_report ? 1 : 0;
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/domino/data/pickup/message1"));

  ::write(server.stdin_fd, "show tasks\nquit\n", 16);
  EXPECT_EQ(Wait(server, 20000), 0);
  std::string log = ReadRootFile("domino/console.log");
  EXPECT_NE(log.find("Task nrouter stopped (exit code 0)"), std::string::npos) << log;
  EXPECT_NE(log.find("Task nsmtp stopped (exit code 0)"), std::string::npos) << log;
  EXPECT_NE(log.find("nsmtp        running"), std::string::npos) << log;
}

TEST_F(SmtpProcessTest, TaskThatDiesIsRestartedAndTasksStoppedByTheServerAreNot) {
  WriteNotesIni("TaskRestartDelayMs=200\n");
  vtserver_test::Child& server = Start("nserver");
  ASSERT_TRUE(Listening());
  pid_t smtp = TaskPid("nsmtp");
  ASSERT_GT(smtp, 0);
  ::kill(smtp, SIGKILL);
  ASSERT_TRUE(vtserver_test::WaitFor([&] {
    return ReadRootFile("domino/console.log").find("Task nsmtp restarted (process") !=
           std::string::npos;
  })) << ReadRootFile("domino/console.log");
  std::string log = ReadRootFile("domino/console.log");
  EXPECT_NE(log.find("ended by itself with exit code 137; it is restarted in 0.2 seconds"),
            std::string::npos) << log;
  EXPECT_NE(ReadRootFile("nserver.out").find("Task nsmtp restarted"), std::string::npos)
      << "the restart is said on the console too";
  ASSERT_TRUE(Listening());  // SMTP answers again
  pid_t restarted = TaskPid("nsmtp");
  EXPECT_NE(restarted, smtp);
  pid_t router = TaskPid("nrouter");
  EXPECT_EQ(Stop(server, 20000), 0);
  EXPECT_NE(::kill(router, 0), 0) << "the router was left running";
  EXPECT_NE(::kill(restarted, 0), 0) << "the restarted task was left running";
  log = ReadRootFile("domino/console.log");
  EXPECT_EQ(log.find("Task nsmtp restarted"), log.rfind("Task nsmtp restarted")) << log;
}

TEST_F(SmtpProcessTest, BadInputIsAnsweredAndNothingHalfIsStored) {
  WriteNotesIni("SMTPMaxMessageSizeKB=64\n");
  Start("nsmtp");
  ASSERT_TRUE(Listening());
  {
    RawClient client(port_);
    ASSERT_EQ(client.Reply(), "220");
    EXPECT_EQ(client.Command(std::string(5000, 'A')), "500");  // overlong command
    EXPECT_EQ(client.Command("EHLO " + std::string(600, 'h')), "500");
    EXPECT_EQ(client.Command("NOOP"), "250");  // the session goes on
    // A bare LF ends no command: the two lines are one, refused.
    EXPECT_EQ(client.Command("HELO bare\nMAIL FROM:<a@x>"), "500");
    EXPECT_EQ(client.Command("MAIL FROM:<a@x>"), "503");
    // Pipelined, dot-stuffing included: the replies come in order.
    client.Send("HELO piped\r\nMAIL FROM:<a@x>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n"
                "Subject: piped\r\n\r\n..one\r\n.\r\n");
    for (const char* code : {"250", "250", "250", "354", "250"}) EXPECT_EQ(client.Reply(), code);
    // Oversize, announced and not announced.
    EXPECT_EQ(client.Command("MAIL FROM:<a@x> SIZE=100000"), "552");
    EXPECT_EQ(client.Command("MAIL FROM:<a@x>"), "250");
    EXPECT_EQ(client.Command("RCPT TO:<bob@example.com>"), "250");
    EXPECT_EQ(client.Command("DATA"), "354");
    std::string line(900, 'x');
    for (int i = 0; i < 100; ++i) client.Send(line + "\r\n");
    EXPECT_EQ(client.Command("."), "552");
    // A text line over 1000 bytes.
    EXPECT_EQ(client.Command("MAIL FROM:<a@x>"), "250");
    EXPECT_EQ(client.Command("RCPT TO:<bob@example.com>"), "250");
    EXPECT_EQ(client.Command("DATA"), "354");
    client.Send(std::string(3000, 'y') + "\r\n");
    EXPECT_EQ(client.Command("."), "500");
    EXPECT_EQ(client.Command("QUIT"), "221");
  }
  for (bool with_quit : {false, true}) {
    // Disconnects in the middle of a message; "QUIT" inside DATA is message text.
    RawClient client(port_);
    ASSERT_EQ(client.Reply(), "220");
    EXPECT_EQ(client.Command("HELO x"), "250");
    EXPECT_EQ(client.Command("MAIL FROM:<a@x>"), "250");
    EXPECT_EQ(client.Command("RCPT TO:<bob@example.com>"), "250");
    EXPECT_EQ(client.Command("DATA"), "354");
    client.Send("Subject: half\r\n\r\nsome text\r\n");
    if (with_quit) client.Send("QUIT\r\n");
    client.Close();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<Doc> box = Docs("mail.box");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(box.front().subject, "piped");
  EXPECT_NE(box.front().body.find("\n.one\r\n"), std::string::npos) << box.front().body;
  EXPECT_EQ(box.front().body.find(".."), std::string::npos) << box.front().body;
  // The text of every message was spooled to a file; none is left behind.
  EXPECT_TRUE(std::filesystem::is_empty(root_ + "/tmp"));
}

TEST_F(SmtpProcessTest, NoSecondMessageOrRecipientIsSmuggledThroughTheFirst) {
  Start("nsmtp");
  ASSERT_TRUE(Listening());
  const std::string hidden =
      "MAIL FROM:<mallory@example.com>\r\nRCPT TO:<carol@example.com>\r\nDATA\r\n"
      "Subject: smuggled\r\n\r\nsecond";
  const std::string forms[] = {"\n.\n", "\r\n.\n", "\n.\r\n"};
  for (const std::string& form : forms) {
    for (bool byte_by_byte : {false, true}) {
      RawClient client(port_);
      ASSERT_EQ(client.Reply(), "220");
      const std::string bytes = "EHLO client.test\r\nMAIL FROM:<alice@example.com>\r\n"
                                "RCPT TO:<bob@example.com>\r\nDATA\r\nSubject: first\r\n\r\n"
                                "first" + form + hidden + form + "\r\n.\r\nQUIT\r\n";
      if (byte_by_byte) {
        client.NoDelay();
        for (char c : bytes) client.Send(std::string(1, c));
      } else {
        client.Send(bytes);
      }
      for (const char* code : {"250", "250", "250", "354", "250", "221"}) {
        EXPECT_EQ(client.Reply(), code) << byte_by_byte;
      }
    }
  }
  {
    // A recipient behind a bare LF, or with a NUL in it, is refused and adds nobody.
    RawClient client(port_);
    ASSERT_EQ(client.Reply(), "220");
    EXPECT_EQ(client.Command("EHLO client.test"), "250");
    EXPECT_EQ(client.Command("MAIL FROM:<alice@example.com>"), "250");
    EXPECT_EQ(client.Command("RCPT TO:<bob@example.com\nRCPT TO:<carol@example.com>>"), "500");
    EXPECT_EQ(client.Command(std::string("RCPT TO:<carol@example.com\0>", 29)), "501");
    EXPECT_EQ(client.Command(std::string("RCPT TO:<alice\0bob@example.com>", 31)), "501");
    EXPECT_EQ(client.Command("DATA"), "554");  // still no recipient at all
    EXPECT_EQ(client.Command("RCPT TO:<bob@example.com>"), "250");
    EXPECT_EQ(client.Command("DATA"), "354");
    EXPECT_EQ(client.Command("Subject: first\r\n\r\nonly bob\r\n."), "250");
  }
  std::vector<Doc> box = Docs("mail.box");
  EXPECT_EQ(box.size(), 7u);
  for (const Doc& doc : box) {
    EXPECT_EQ(doc.subject, "first");
    EXPECT_EQ(doc.from, "alice@example.com");
  }
  // Every message is for bob alone.
  DBHANDLE db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen("mail.box", &db), NOERROR);
  for (const Doc& doc : box) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, doc.id, 0, &note), NOERROR);
    char recipient[256] = "";
    EXPECT_EQ(NSFItemGetTextListEntries(note, "Recipients"), 1);
    NSFItemGetTextListEntry(note, "Recipients", 0, recipient, sizeof recipient);
    EXPECT_STREQ(recipient, "bob@example.com");
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
  }
  EXPECT_EQ(NSFDbClose(db), NOERROR);
}

TEST_F(SmtpProcessTest, StopDoesNotWaitForeverForAClientInTheMiddleOfAMessage) {
  vtserver_test::Child& smtp = Start("nsmtp");
  ASSERT_TRUE(Listening());
  RawClient idle(port_);
  RawClient sending(port_);
  ASSERT_EQ(idle.Reply(), "220");
  ASSERT_EQ(sending.Reply(), "220");
  EXPECT_EQ(sending.Command("HELO x"), "250");
  EXPECT_EQ(sending.Command("MAIL FROM:<a@x>"), "250");
  EXPECT_EQ(sending.Command("RCPT TO:<bob@example.com>"), "250");
  EXPECT_EQ(sending.Command("DATA"), "354");
  sending.Send("Subject: never ends\r\n\r\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Stop(smtp, 15000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
  EXPECT_EQ(Count("mail.box"), 0u);
}

TEST_F(SmtpProcessTest, HundredClientsAtOnce) {
  Start("nsmtp");
  ASSERT_TRUE(Listening());
  constexpr int kClients = 100;
  std::atomic<int> accepted{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      RawClient client(port_);
      if (client.Reply() != "220") return;
      client.Send("EHLO c" + std::to_string(i) + "\r\nMAIL FROM:<a@x>\r\n"
                  "RCPT TO:<bob@example.com>\r\nDATA\r\n");
      for (const char* code : {"250", "250", "250", "354"}) {
        if (client.Reply() != code) return;
      }
      if (client.Command("Subject: client " + std::to_string(i) + "\r\n\r\nhello\r\n.") == "250") {
        ++accepted;
      }
      client.Command("QUIT");
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(accepted.load(), kClients);
  EXPECT_EQ(Count("mail.box"), static_cast<size_t>(kClients));
}

}  // namespace
}  // namespace vtserver
