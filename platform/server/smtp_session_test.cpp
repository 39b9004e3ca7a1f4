// smtp_session_test.cpp - the SMTP conversation and the bounded line reader, without sockets.
#include "platform/server/smtp_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/server/message_spool.h"

namespace vtserver {
namespace {

// A reader over a fixed input, handing out at most chunk bytes per read.
LineReader ReaderOver(const std::string& input, size_t chunk, size_t* position) {
  return LineReader([&input, chunk, position](char* buffer, size_t size) -> long {
    size_t count = std::min({chunk, size, input.size() - *position});
    input.copy(buffer, count, *position);
    *position += count;
    return static_cast<long>(count);
  });
}

// Feeds raw bytes through a line reader into the session, chunk bytes per read, as nsmtp
// does with a socket; returns the codes of the replies in order.
std::vector<std::string> ConverseWith(SmtpSession& session, const std::string& bytes,
                                      size_t chunk) {
  size_t position = 0;
  LineReader reader = ReaderOver(bytes, chunk, &position);
  std::vector<std::string> codes;
  std::string line;
  bool overlong = false;
  bool bare_lf = false;
  while (!session.Closed()) {
    const bool in_data = session.InData();
    LineReader::Result result =
        in_data ? reader.NextTextPiece(session.LineLimit(), &line, &overlong, &bare_lf)
                : reader.Next(session.LineLimit(), &line, &overlong);
    if (result != LineReader::Result::kLine) break;
    std::string reply = session.OnLine(line, overlong, in_data && bare_lf);
    if (reply.empty()) continue;
    // A multi-line reply counts once, by its last line.
    size_t last_line = reply.rfind("\r\n", reply.size() - 3);
    codes.push_back(reply.substr(last_line == std::string::npos ? 0 : last_line + 2, 3));
  }
  return codes;
}

struct Stored {
  SmtpEnvelope envelope;
  std::string text;
};

class SmtpSessionTest : public ::testing::Test {
 protected:
  SmtpSessionTest()
      : session_("mx.test", Limits(),
                 MemorySink([this](const SmtpEnvelope& envelope, std::string_view text,
                                   std::string* id) {
                   stored_.push_back({envelope, std::string(text)});
                   *id = std::to_string(stored_.size());
                   return store_result_;
                 })) {}

  static SmtpLimits Limits() {
    SmtpLimits limits;
    limits.max_message_bytes = 200;
    limits.max_recipients = 3;
    return limits;
  }

  // The three-digit code of the reply to line.
  std::string Code(const std::string& line) {
    std::string reply = session_.OnLine(line, false);
    return reply.substr(0, 3);
  }

  void Envelope() {
    ASSERT_EQ(Code("EHLO client.test"), "250");
    ASSERT_EQ(Code("MAIL FROM:<alice@example.com>"), "250");
    ASSERT_EQ(Code("RCPT TO:<bob@example.com>"), "250");
    ASSERT_EQ(Code("DATA"), "354");
  }

  std::vector<std::string> Converse(const std::string& bytes, size_t chunk) {
    return ConverseWith(session_, bytes, chunk);
  }

  std::vector<Stored> stored_;
  bool store_result_ = true;
  SmtpSession session_;
};

using Codes = std::vector<std::string>;

TEST_F(SmtpSessionTest, CommandsOutOfOrderOrMalformedGetTheirCodes) {
  struct Case {
    const char* line;
    const char* code;
  };
  // One conversation: each line's code depends on the lines before it.
  const Case cases[] = {
      {"MAIL FROM:<a@b>", "503"},   // before HELO
      {"HELO", "501"},              // no host name
      {"BOGUS", "500"},
      {"", "500"},
      {"helo client.test", "250"},  // verbs ignore case
      {"RCPT TO:<b@c>", "503"},     // before MAIL
      {"DATA", "503"},
      {"MAIL FROM:a@b", "501"},     // no angle brackets
      {"MAIL TO:<a@b>", "501"},
      {"MAIL FROM:<a@b> SIZE=x", "501"},
      {"MAIL FROM:<a@b> SIZE=201", "552"},  // over the limit announced in EHLO
      {"MAIL FROM:<>", "250"},      // the null reverse-path is allowed
      {"MAIL FROM:<a@b>", "503"},   // nested
      {"DATA", "554"},              // no recipient yet
      {"RCPT TO:<>", "501"},
      {"RCPT TO:<@relay.test:b@c>", "250"},  // source route dropped
      {"RCPT TO:<c@d>", "250"},
      {"RCPT TO:<d@e>", "250"},
      {"RCPT TO:<e@f>", "452"},     // fourth recipient over the limit of three
      {"NOOP", "250"},
      {"VRFY bob", "252"},
      {"RSET", "250"},
      {"DATA", "503"},              // RSET dropped the transaction
      {"QUIT", "221"},
  };
  for (const Case& c : cases) EXPECT_EQ(Code(c.line), c.code) << c.line;
  EXPECT_TRUE(session_.Closed());
  EXPECT_TRUE(stored_.empty());
}

TEST_F(SmtpSessionTest, EhloAnnouncesTheSizeLimit) {
  std::string reply = session_.OnLine("EHLO client.test", false);
  EXPECT_NE(reply.find("250-SIZE 200\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("\r\n250 "), std::string::npos) << "last line uses a blank";
}

TEST_F(SmtpSessionTest, MessageIsUnstuffedAndStoredBeforeTheReply) {
  Envelope();
  for (const char* line : {"Subject: hi", "", "..leading dot"}) {
    EXPECT_EQ(session_.OnLine(line, false), "");
  }
  EXPECT_EQ(Code("."), "250");
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_EQ(stored_[0].text, "Subject: hi\r\n\r\n.leading dot\r\n");
  EXPECT_EQ(stored_[0].envelope.sender, "alice@example.com");
  EXPECT_EQ(stored_[0].envelope.recipients, std::vector<std::string>{"bob@example.com"});
  // The session is ready for the next transaction, with the greeting kept.
  EXPECT_EQ(Code("MAIL FROM:<x@y>"), "250");
}

TEST_F(SmtpSessionTest, FailedStoreIsATemporaryFailure) {
  store_result_ = false;
  Envelope();
  EXPECT_EQ(Code("."), "451");
}

TEST_F(SmtpSessionTest, OversizeMessageIsRefusedAndNotStored) {
  Envelope();
  std::string line(90, 'x');
  for (int i = 0; i < 5; ++i) EXPECT_EQ(session_.OnLine(line, false), "");
  EXPECT_EQ(Code("."), "552");
  EXPECT_TRUE(stored_.empty());
}

TEST_F(SmtpSessionTest, OverlongLinesAreRefused) {
  EXPECT_EQ(session_.OnLine("EHLO x", true).substr(0, 3), "500");
  Envelope();
  EXPECT_EQ(session_.OnLine("xxxx", true), "");  // inside the message: refused at its end
  EXPECT_EQ(Code("."), "500");
  EXPECT_TRUE(stored_.empty());
  // An overlong "." is not the end of the message.
  ASSERT_EQ(Code("MAIL FROM:<a@b>"), "250");
  ASSERT_EQ(Code("RCPT TO:<b@c>"), "250");
  ASSERT_EQ(Code("DATA"), "354");
  EXPECT_EQ(session_.OnLine(".", true), "");
  EXPECT_TRUE(session_.InData());
}

TEST_F(SmtpSessionTest, CommandWithABareLineEndOrNulIsRefusedAndChangesNothing) {
  struct Case {
    std::string line;
    const char* code;
  };
  const Case cases[] = {
      {"MAIL FROM:<a@b>\nRSET", "500"},  // before MAIL: the RSET must not count either
      {std::string("MAIL FROM:<a\0@b>", 17), "501"},
      {"MAIL FROM:<alice@example.com>", "250"},
      {"RCPT TO:<bob@example.com>", "250"},
      {"RCPT TO:<bob@example.com\nRCPT TO:<carol@example.com>>", "500"},
      {"RCPT TO:<carol@example.com>\r", "500"},
      {"RCPT TO:<\rcarol@example.com>", "500"},
      {std::string("RCPT TO:<carol@example.com\0>", 29), "501"},
      {std::string("RCPT TO:<bob@example.com>\0RCPT TO:<carol@example.com>", 54), "501"},
      {"RSET\n", "500"},  // not a reset: the transaction stays
      {"DATA", "354"},
  };
  ASSERT_EQ(Code("EHLO client.test"), "250");
  for (const Case& c : cases) EXPECT_EQ(Code(c.line), c.code) << c.line;
  EXPECT_EQ(Code("."), "250");
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_EQ(stored_[0].envelope.sender, "alice@example.com");
  EXPECT_EQ(stored_[0].envelope.recipients, std::vector<std::string>{"bob@example.com"});
}

TEST(ParsePathTest, ControlCharactersNeverEnterAnAddress) {
  std::string address, parameters;
  EXPECT_TRUE(ParsePath("<bob@example.com> SIZE=10", &address, &parameters));
  EXPECT_EQ(address, "bob@example.com");
  for (std::string bad : {std::string("<b\0b@example.com>", 18), std::string("<b\tb@x>"),
                          std::string("<b\x7f@x>"), std::string("<b\nb@x>")}) {
    EXPECT_FALSE(ParsePath(bad, &address, &parameters)) << bad;
  }
}

TEST_F(SmtpSessionTest, OnlyCrlfDotCrlfEndsTheMessageSoNothingIsSmuggled) {
  // Each form another mail system may take for the end of the message; the text after it
  // would be a second mail to carol if it were read as commands.
  for (const std::string form : {"\n.\n", "\r\n.\n", "\n.\r\n", "\r.\r", "\r\n.\r"}) {
    for (size_t chunk : {1u, 5u, 4096u}) {
      stored_.clear();
      const std::string hidden =
          "MAIL FROM:<mallory@example.com>\r\nRCPT TO:<carol@example.com>\r\nDATA\r\n"
          "Subject: smuggled\r\n\r\nsecond";
      const std::string bytes = "EHLO client.test\r\nMAIL FROM:<alice@example.com>\r\n"
                                "RCPT TO:<bob@example.com>\r\nDATA\r\nSubject: first\r\n\r\n"
                                "first" + form + hidden + form + "\r\n.\r\n";
      EXPECT_EQ(Converse(bytes, chunk), (Codes{"250", "250", "250", "354", "250"}))
          << chunk;
      ASSERT_EQ(stored_.size(), 1u) << chunk;
      EXPECT_EQ(stored_[0].envelope.recipients, std::vector<std::string>{"bob@example.com"});
      // The bytes stay in the one message (a dot at a line's start is unstuffed).
      EXPECT_NE(stored_[0].text.find("RCPT TO:<carol@example.com>"), std::string::npos);
      EXPECT_NE(stored_[0].text.find("Subject: smuggled"), std::string::npos);
    }
  }
}

TEST(SmtpSessionLfTest, MessageWrittenWithLfLineEndsIsTakenLineByLine) {
  // Clients that hand over a message as bytes with LF line ends (Python's smtplib does) send
  // it so, closed by CR LF "." CR LF: the text-line limit holds per LF line, the LFs are kept
  // as they came, and "." after a bare LF is text.
  std::vector<std::string> stored;
  SmtpSession session("mx.test", SmtpLimits{},
                      MemorySink([&stored](const SmtpEnvelope&, std::string_view text,
                                           std::string* id) {
                        stored.emplace_back(text);
                        *id = "1";
                        return true;
                      }));
  using Codes = std::vector<std::string>;
  std::string body;
  for (int i = 0; i < 40; ++i) body += std::string(76, 'A' + i % 26) + "\n";
  const std::string bytes = "EHLO client.test\r\nMAIL FROM:<alice@example.com>\r\n"
                            "RCPT TO:<bob@example.com>\r\nDATA\r\nSubject: lf\n\n" + body +
                            "..dot\n\r\n.\r\n";
  for (size_t chunk : {1u, 7u, 4096u}) {
    stored.clear();
    EXPECT_EQ(ConverseWith(session, bytes, chunk), (Codes{"250", "250", "250", "354", "250"}))
        << chunk;
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0], "Subject: lf\n\n" + body + ".dot\n\r\n");
  }
  // One LF line over the limit is still refused.
  stored.clear();
  const std::string longline = "MAIL FROM:<alice@example.com>\r\n"
                               "RCPT TO:<bob@example.com>\r\nDATA\r\nSubject: lf\n\n" +
                               std::string(1200, 'x') + "\nend\r\n.\r\n";
  EXPECT_EQ(ConverseWith(session, longline, 4096), (Codes{"250", "250", "354", "500"}));
  EXPECT_TRUE(stored.empty());
}

TEST_F(SmtpSessionTest, PipelinedCommandsAreAnsweredInOrder) {
  const std::string bytes =
      "EHLO client.test\r\nMAIL FROM:<alice@example.com>\r\nRCPT TO:<bob@example.com>\r\n"
      "RCPT TO:<>\r\nRCPT TO:<carol@example.com>\r\nDATA\r\nSubject: p\r\n\r\nhi\r\n.\r\n"
      "MAIL FROM:<a@x>\r\nRCPT TO:<bob@example.com>\r\nRSET\r\nNOOP\r\nDATA\r\nQUIT\r\n";
  EXPECT_EQ(Converse(bytes, 4096), (Codes{"250", "250", "250", "501", "250", "354", "250",
                                          "250", "250", "250", "250", "503", "221"}));
  ASSERT_EQ(stored_.size(), 1u);
  EXPECT_EQ(stored_[0].envelope.recipients,
            (std::vector<std::string>{"bob@example.com", "carol@example.com"}));
  EXPECT_EQ(stored_[0].text, "Subject: p\r\n\r\nhi\r\n");
}

// A sink that counts how each message ended.
struct CountingSink {
  int begun = 0, stored = 0, discarded = 0;
  bool begin_result = true;
  size_t fail_after_bytes = SIZE_MAX;
  size_t bytes = 0;

  MessageSink Make() {
    MessageSink sink;
    sink.begin = [this] {
      ++begun;
      bytes = 0;
      return begin_result;
    };
    sink.append = [this](std::string_view text) {
      bytes += text.size();
      return bytes <= fail_after_bytes;
    };
    sink.store = [this](const SmtpEnvelope&, std::string*) {
      ++stored;
      return true;
    };
    sink.discard = [this] { ++discarded; };
    return sink;
  }
};

TEST(SmtpSessionSinkTest, EveryMessageIsStoredOrDiscardedExactlyOnce) {
  SmtpLimits limits;
  limits.max_message_bytes = 100;
  auto open_message = [](SmtpSession& session) {
    for (const char* line : {"HELO c", "MAIL FROM:<a@x>", "RCPT TO:<b@x>"}) {
      ASSERT_EQ(session.OnLine(line, false).substr(0, 3), "250") << line;
    }
  };
  CountingSink counts;
  {
    SmtpSession session("mx.test", limits, counts.Make());
    open_message(session);
    ASSERT_EQ(session.OnLine("DATA", false).substr(0, 3), "354");
    EXPECT_EQ(session.OnLine("short", false), "");
    EXPECT_EQ(session.OnLine(".", false).substr(0, 3), "250");
    EXPECT_EQ(counts.stored, 1);
    EXPECT_EQ(counts.discarded, 0);
    // Oversize: discarded as soon as it is known, the rest dropped, 552 at the end.
    open_message(session);
    ASSERT_EQ(session.OnLine("DATA", false).substr(0, 3), "354");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(session.OnLine(std::string(40, 'x'), false), "");
    EXPECT_EQ(counts.discarded, 1);
    EXPECT_EQ(session.OnLine(".", false).substr(0, 3), "552");
    // A sink that cannot write: the message is refused with a temporary failure.
    counts.fail_after_bytes = 10;
    open_message(session);
    ASSERT_EQ(session.OnLine("DATA", false).substr(0, 3), "354");
    EXPECT_EQ(session.OnLine(std::string(20, 'y'), false), "");
    EXPECT_EQ(session.OnLine(".", false).substr(0, 3), "451");
    EXPECT_EQ(counts.discarded, 2);
    counts.fail_after_bytes = SIZE_MAX;
    // A sink that cannot begin: DATA is refused and the transaction stays.
    open_message(session);
    counts.begin_result = false;
    EXPECT_EQ(session.OnLine("DATA", false).substr(0, 3), "451");
    EXPECT_FALSE(session.InData());
    counts.begin_result = true;
    // The client leaves in the middle of the text.
    ASSERT_EQ(session.OnLine("DATA", false).substr(0, 3), "354");
    EXPECT_EQ(session.OnLine("half", false), "");
  }
  EXPECT_EQ(counts.stored, 1);
  EXPECT_EQ(counts.discarded, 3);
  EXPECT_EQ(counts.begun, 5);
}

TEST(SpoolSinkTest, TheSpoolFileIsGoneWhateverBecomesOfTheMessage) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/vt_spool_test_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  auto files = [&] {
    return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
  };
  std::vector<std::string> stored_texts;
  bool store_result = true;
  auto store = [&](const SmtpEnvelope&, const std::string& path, std::string*) {
    std::ifstream in(path, std::ios::binary);
    stored_texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return store_result;
  };
  std::vector<std::string> log;
  SmtpLimits limits;
  limits.max_message_bytes = 200 * 1024;
  {
    SmtpSession session("mx.test", limits,
                        SpoolSink(directory, store, [&](const std::string& line) {
                          log.push_back(line);
                        }));
    auto send = [&](int lines, const char* expected) {
      for (const char* line : {"MAIL FROM:<a@x>", "RCPT TO:<b@x>", "DATA"}) {
        ASSERT_NE(session.OnLine(line, false).substr(0, 1), "5") << line;
      }
      EXPECT_EQ(files(), 1);
      for (int i = 0; i < lines; ++i) (void)session.OnLine(std::string(998, 'a' + i % 26), false);
      EXPECT_EQ(session.OnLine(".", false).substr(0, 3), expected);
      EXPECT_EQ(files(), 0);
    };
    ASSERT_EQ(session.OnLine("HELO c", false).substr(0, 3), "250");
    send(150, "250");  // over the write buffer: written in several pieces, read back whole
    ASSERT_EQ(stored_texts.size(), 1u);
    EXPECT_EQ(stored_texts[0].size(), 150u * 1000u);
    EXPECT_EQ(stored_texts[0].substr(149000, 3), std::string(3, 'a' + 149 % 26));
    send(300, "552");  // refused
    store_result = false;
    send(1, "451");    // the store failed
    (void)session.OnLine("MAIL FROM:<a@x>", false);
    (void)session.OnLine("RCPT TO:<b@x>", false);
    (void)session.OnLine("DATA", false);
    (void)session.OnLine("left in the middle", false);
    EXPECT_EQ(files(), 1);
  }
  EXPECT_EQ(files(), 0);  // the client left
  // What a task that died in the middle of a message left behind goes at its next start.
  std::ofstream(directory + "/smtp-AbC123") << "half a message";
  std::ofstream(directory + "/other") << "not ours";
  EXPECT_EQ(RemoveStaleSpoolFiles(directory), 1);
  EXPECT_EQ(files(), 1);
  // A spool directory that cannot take a file: DATA is refused and the reason logged.
  fs::remove_all(directory);
  SmtpSession session("mx.test", limits, SpoolSink(directory, store, [&](const std::string& line) {
                        log.push_back(line);
                      }));
  for (const char* line : {"HELO c", "MAIL FROM:<a@x>", "RCPT TO:<b@x>"}) {
    (void)session.OnLine(line, false);
  }
  EXPECT_EQ(session.OnLine("DATA", false).substr(0, 3), "451");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find(directory), std::string::npos) << log[0];
}

TEST(LineReaderTest, OnlyCrlfEndsALineWhateverTheChunking) {
  // A bare LF or CR stays in its line; a line without its CR LF at the end is no line.
  const std::string input = "EHLO a\r\nbare\nlf\r\nbare\rcr\r\n\r\n\r\r\n\n\r\nno end";
  for (size_t chunk : {1u, 2u, 3u, 7u, 4096u}) {
    size_t position = 0;
    LineReader reader = ReaderOver(input, chunk, &position);
    std::vector<std::string> lines;
    std::string line;
    bool overlong = false;
    while (reader.Next(100, &line, &overlong) == LineReader::Result::kLine) {
      EXPECT_FALSE(overlong);
      lines.push_back(line);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{"EHLO a", "bare\nlf", "bare\rcr", "", "\r", "\n"}))
        << chunk;
  }
}

TEST(LineReaderTest, OverlongLineIsCutAndItsRestSkipped) {
  // The bare LF inside the long line does not end it; a CR LF split between two reads does.
  const std::string input = std::string(3000, 'a') + "\n" + std::string(2000, 'a') + "\r\nnext\r\n";
  for (size_t chunk : {1u, 100u, 4096u, 5001u}) {
    size_t position = 0;
    LineReader reader = ReaderOver(input, chunk, &position);
    std::string line;
    bool overlong = false;
    ASSERT_EQ(reader.Next(512, &line, &overlong), LineReader::Result::kLine);
    EXPECT_TRUE(overlong);
    EXPECT_EQ(line.size(), 512u);
    ASSERT_EQ(reader.Next(512, &line, &overlong), LineReader::Result::kLine);
    EXPECT_FALSE(overlong);
    EXPECT_EQ(line, "next");
  }
}

TEST(LineReaderTest, LineOfExactlyTheLimitIsWhole) {
  const std::string input = std::string(8, 'b') + "\r\n";  // 10 bytes with its end
  size_t position = 0;
  LineReader reader = ReaderOver(input, 3, &position);
  std::string line;
  bool overlong = true;
  ASSERT_EQ(reader.Next(10, &line, &overlong), LineReader::Result::kLine);
  EXPECT_FALSE(overlong);
  EXPECT_EQ(line, std::string(8, 'b'));
}

}  // namespace
}  // namespace vtserver
