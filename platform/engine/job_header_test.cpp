// Reading job headers and resolving the paths they name.
#include "platform/engine/job_header.h"

#include <gtest/gtest.h>

namespace vtengine {
namespace {

TEST(JobHeaderTest, ReadsTheLinesTheSystemWrites) {
  const JobHeader header = ParseJobHeader(
      "Attachment: 8f6\\page.ATT,page.html\r\n"
      "Size: 1234\r\n"
      "Body: 8f6\\0.bdy\r\n"
      "Date: 07/12/2026 10:00:00\r\n"
      "LotusNotesMUA: 1\r\n"
      "Subject: Quarterly: figures\r\n"
      "From: ann@example.com\r\n"
      "To: Ann ann@example.com,bob@example.com\r\n"
      "Attachment: 8f6\\0.ATT,a.doc\r\n");
  ASSERT_TRUE(header.body);
  EXPECT_EQ(*header.body, "8f6\\0.bdy");
  EXPECT_EQ(header.subject, "Quarterly: figures");  // split at the first colon only
  EXPECT_EQ(header.from, "ann@example.com");
  EXPECT_EQ(header.to, "Ann ann@example.com,bob@example.com");
  EXPECT_TRUE(header.lotus_notes_mua);
  ASSERT_EQ(header.attachments.size(), 2u);
  EXPECT_EQ(header.attachments[0].path, "8f6\\page.ATT");
  EXPECT_EQ(header.attachments[0].display_name, "page.html");
  EXPECT_EQ(header.attachments[1].display_name, "a.doc");
  EXPECT_EQ(header.skipped_lines, 0u);
}

TEST(JobHeaderTest, KeysIgnoreCaseAndLinesAreTrimmed) {
  const JobHeader header = ParseJobHeader("  body :  8f6\\0.bdy  \n\tSUBJECT: hi\rfrom:x@y\n\n\n");
  ASSERT_TRUE(header.body);
  EXPECT_EQ(*header.body, "8f6\\0.bdy");
  EXPECT_EQ(header.subject, "hi");
  EXPECT_EQ(header.from, "x@y");
}

TEST(JobHeaderTest, GarbageIsCountedNotTrusted) {
  const JobHeader header = ParseJobHeader(
      std::string("no colon here\r\n: empty key\r\nSubject:\r\nAttachment: nocomma\r\n"
                  "Attachment: ,name\r\nAttachment: path,\r\n\x01\x02\xff\r\n") +
      std::string(3, '\0'));
  EXPECT_FALSE(header.body);
  EXPECT_TRUE(header.attachments.empty());
  EXPECT_EQ(header.recognised_lines, 0u);
  EXPECT_EQ(header.skipped_lines, 8u);
  EXPECT_FALSE(header.refusal.empty());
}

// A value that broke its line adds a line the system never writes: the header is refused
// whole, never read by its last (or first) line of a kind.
TEST(JobHeaderTest, RepeatedKeysAndUnknownLinesAreRefused) {
  const std::string good =
      "Size: 10\r\nBody: 8f6\\0.bdy\r\nLotusNotesMUA: 0\r\nSubject: Invoice\r\n"
      "From: a@b\r\nTo: c@d\r\nAttachment: 8f6\\0.ATT,a.doc\r\nAttachment: 8f6\\1.ATT,b.doc\r\n";
  EXPECT_EQ(ParseJobHeader(good).refusal, "");
  EXPECT_EQ(ParseJobHeader("Message-ID: <1@x>\r\n" + good).refusal, "");
  EXPECT_EQ(ParseJobHeader(good + "Subject:\r\n").refusal,
            "the job header repeats the line \"Subject:\"");
  const char* broken[] = {
      "Body: x\r\n",            // a subject that decoded to a line feed
      "body : 8f6\\0.ATT\r\n",  // any case, any blanks
      "SUBJECT: second\r\n",
      "From: mallory@example.com\r\n",
      "Size: 1\r\n",
      "Attachment /etc/passwd,p\r\n",  // no colon
      "X-Injected: 1\r\n",             // a key the engine does not know
      "Attachment: nocomma\r\n",
  };
  for (const char* line : broken) {
    const JobHeader header = ParseJobHeader(good + line);
    EXPECT_FALSE(header.refusal.empty()) << line;
  }
  EXPECT_EQ(ParseJobHeader("Body: 8f6\\0.bdy\nBody: x\n").refusal,
            "the job header repeats the line \"Body:\"");
  EXPECT_EQ(ParseJobHeader("Body: 8f6\\0.bdy\nX-Injected: 1\n").refusal,
            "the job header holds the unknown line \"X-Injected:\"");
}

TEST(JobHeaderTest, OverlongLineIsCutAndItsTailDropped) {
  // A subject is the sender's text: what lies beyond the cut must not become a line.
  const std::string line = "Subject: " + std::string(kMaxHeaderLine - 9, 'x') + "Body: 8f6\\x";
  const JobHeader header = ParseJobHeader(line + "\r\nFrom: a@b\r\n");
  EXPECT_FALSE(header.body);
  EXPECT_EQ(header.subject.size(), kMaxHeaderLine - 9);
  EXPECT_EQ(header.from, "a@b");
}

TEST(JobHeaderTest, AttachmentValueSplitsAtTheLastComma) {
  auto attachment = SplitAttachmentValue("8f6\\a,b,c.doc");
  ASSERT_TRUE(attachment);
  EXPECT_EQ(attachment->path, "8f6\\a,b");
  EXPECT_EQ(attachment->display_name, "c.doc");
}

TEST(JobHeaderTest, AddressListDropsEmptyEntries) {
  EXPECT_EQ(SplitAddressList(" a@x , ,b@y,"), (std::vector<std::string>{"a@x", "b@y"}));
  EXPECT_TRUE(SplitAddressList("").empty());
}

struct PathCase {
  const char* rel;
  const char* resolved;  // nullptr: refused
};

class ResolveJobPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(ResolveJobPathTest, StaysInsideTheJobDirectory) {
  std::string error;
  const auto resolved = ResolveJobPath("/in", "8f6", GetParam().rel, &error);
  if (GetParam().resolved) {
    ASSERT_TRUE(resolved) << error;
    EXPECT_EQ(*resolved, GetParam().resolved);
  } else {
    EXPECT_FALSE(resolved) << *resolved;
    EXPECT_FALSE(error.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ResolveJobPathTest,
    testing::Values(PathCase{"8f6\\0.bdy", "/in/8f6/0.bdy"},
                    PathCase{"8F6\\0.ATT", "/in/8f6/0.ATT"}, PathCase{"8f6/0.ATT", "/in/8f6/0.ATT"},
                    PathCase{"8f6\\\\sub\\1.ATT", "/in/8f6/sub/1.ATT"},
                    PathCase{"..\\secret", nullptr}, PathCase{"8f6\\..\\9a0\\0.bdy", nullptr},
                    PathCase{"8f6\\..", nullptr}, PathCase{"8f6\\.\\0.bdy", nullptr},
                    PathCase{"\\etc\\passwd", nullptr}, PathCase{"/etc/passwd", nullptr},
                    PathCase{"C:\\boot.ini", nullptr}, PathCase{"8f6\\c:x", nullptr},
                    PathCase{"9a0\\0.bdy", nullptr}, PathCase{"8f6", nullptr},
                    PathCase{"", nullptr}));

}  // namespace
}  // namespace vtengine
