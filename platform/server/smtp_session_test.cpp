// smtp_session_test.cpp - the SMTP conversation and the bounded line reader, without sockets.
#include "platform/server/smtp_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vtserver {
namespace {

struct Stored {
  SmtpEnvelope envelope;
  std::string text;
};

class SmtpSessionTest : public ::testing::Test {
 protected:
  SmtpSessionTest()
      : session_("mx.test", Limits(),
                 [this](const SmtpEnvelope& envelope, std::string_view text, std::string* id) {
                   stored_.push_back({envelope, std::string(text)});
                   *id = std::to_string(stored_.size());
                   return store_result_;
                 }) {}

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

  std::vector<Stored> stored_;
  bool store_result_ = true;
  SmtpSession session_;
};

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

// A reader over a fixed input, handing out at most chunk bytes per read.
LineReader ReaderOver(const std::string& input, size_t chunk, size_t* position) {
  return LineReader([&input, chunk, position](char* buffer, size_t size) -> long {
    size_t count = std::min({chunk, size, input.size() - *position});
    input.copy(buffer, count, *position);
    *position += count;
    return static_cast<long>(count);
  });
}

TEST(LineReaderTest, SplitsAtCrlfAndBareLfWhateverTheChunking) {
  const std::string input = "EHLO a\r\nbare\nlast\r\n\r\nno end";
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
    EXPECT_EQ(lines, (std::vector<std::string>{"EHLO a", "bare", "last", ""})) << chunk;
  }
}

TEST(LineReaderTest, OverlongLineIsCutAndItsRestSkipped) {
  const std::string input = std::string(5000, 'a') + "\r\nnext\r\n";
  for (size_t chunk : {1u, 100u, 4096u}) {
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
