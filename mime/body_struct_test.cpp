// Tests of the body-structure parser: header interpretation, the part tree with its
// offsets and counts, hostile input, and real messages written by others.
#include "mime/body_struct.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "mime/test_support.h"

namespace mime {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::unique_ptr<MimeBody> ParseText(const TempDir& dir, const std::string& text) {
  std::string path = dir.File("0.bdx");
  WriteFile(path, text);
  return IMAPBODY_openfile(path);
}

// The bytes of a part's body as the offsets describe them.
std::string BodyOf(const std::string& text, const MimeBody& part) {
  return text.substr(static_cast<std::size_t>(part.body_offset),
                     static_cast<std::size_t>(part.body_bytes));
}

// Walks a tree and checks what every record promises the text writer.
void CheckConsistent(const MimeBody& record, std::int64_t file_size, int depth = 0) {
  ASSERT_LE(depth, kMaxNestingDepth + 2);
  EXPECT_GE(record.body_offset, record.header_offset);
  EXPECT_GE(record.body_bytes, 0);
  EXPECT_LE(record.body_offset + record.body_bytes, file_size);
  EXPECT_EQ(record.part_count,
            (record.parts ? record.parts->Count() : 0) + (record.message ? 1 : 0));
  if (record.message) CheckConsistent(*record.message, file_size, depth + 1);
  if (record.parts) {
    for (std::int32_t i = 0; i < record.parts->Count(); ++i) {
      CheckConsistent(*record.parts->Get(i), file_size, depth + 1);
    }
  }
}

int Depth(const MimeBody& record) {
  int deepest = 0;
  if (record.message) deepest = std::max(deepest, Depth(*record.message));
  if (record.parts) {
    for (std::int32_t i = 0; i < record.parts->Count(); ++i) {
      deepest = std::max(deepest, Depth(*record.parts->Get(i)));
    }
  }
  return deepest + 1;
}

TEST(HeaderFields, ContentTypeWithQuotedParametersAndSemicolons) {
  MimeBody record;
  ASSERT_EQ(IMAPBODY_FillBodyStruct(
                record, "Content-Type: text/plain; charset=\"iso-8859-1\"; name=\"a;b.txt\""),
            0);
  EXPECT_EQ(record.type, "text");
  EXPECT_EQ(record.subtype, "plain");
  ASSERT_EQ(record.params.size(), 2u);
  EXPECT_EQ(record.params[0].attribute, "charset");
  EXPECT_EQ(record.params[0].value, "iso-8859-1");
  EXPECT_EQ(record.params[1].attribute, "name");
  EXPECT_EQ(record.params[1].value, "a;b.txt");
}

TEST(HeaderFields, OtherContentHeaders) {
  MimeBody record;
  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "content-transfer-encoding:  Base64"), 0);
  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "Content-Disposition: attachment   "), 0);
  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "Content-ID: <part1@example.org>"), 0);
  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "Content-Description: a picture"), 0);
  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "X-Content-Type: text/html"), 0);
  EXPECT_EQ(record.encoding, "  Base64");  // trimmed only when used
  EXPECT_EQ(record.disposition, "attachment");
  EXPECT_EQ(record.id, "part1@example.org");
  EXPECT_EQ(record.description, " a picture");
  EXPECT_TRUE(record.type.empty());

  ASSERT_EQ(IMAPBODY_FillBodyStruct(record, "Content-Disposition: inline; filename=\"x.txt\""),
            0);
  EXPECT_EQ(record.disposition, "inline");
  ASSERT_EQ(record.disposition_params.size(), 1u);
  EXPECT_EQ(record.disposition_params[0].value, "x.txt");
}

TEST(HeaderFields, EmbeddedMessageTest) {
  EXPECT_EQ(IMAPBODY_TestRFC("Content-Type: Message / RFC822"), 0);
  EXPECT_EQ(IMAPBODY_TestRFC("Content-Type: message/rfc822; name=x"), 0);
  EXPECT_EQ(IMAPBODY_TestRFC("Content-Type: message/partial"), 1);
  EXPECT_EQ(IMAPBODY_TestRFC("Content-Type: message"), 1);
}

TEST(ParserTree, MessageWithoutContentTypeIsOneBodyOfLines) {
  TempDir dir;
  std::string text = "From: a@b\r\nSubject: hi\r\n\r\nline one\r\nline two\r\nline three\r\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->type.empty());
  EXPECT_FALSE(root->parts);
  EXPECT_EQ(root->header_done, 1);
  EXPECT_EQ(root->header_fields, 2);
  EXPECT_EQ(root->body_lines, 3);
  EXPECT_EQ(BodyOf(text, *root), "line one\r\nline two\r\nline three\r\n");
}

TEST(ParserTree, FoldedHeaderIsOneFieldOfThreeLines) {
  TempDir dir;
  auto root = ParseText(dir,
                        "Content-Type: text/plain;\r\n\tcharset=us-ascii;\r\n  format=flowed\r\n"
                        "\r\nbody\r\n");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->header_fields, 1);
  EXPECT_EQ(root->header_lines, 3);
  ASSERT_EQ(root->params.size(), 2u);
  EXPECT_EQ(root->params[1].attribute, "format");
  EXPECT_EQ(root->params[1].value, "flowed");
}

const char kNested[] =
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "plain text\r\n"
    "--inner\r\n"
    "Content-Type: text/html\r\n"
    "\r\n"
    "<p>html</p>\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "Subject: inner mail\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "embedded one\r\n"
    "embedded two\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

TEST(ParserTree, NestedMultipartAndEmbeddedMessage) {
  TempDir dir;
  std::string text = kNested;
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  CheckConsistent(*root, static_cast<std::int64_t>(text.size()));
  EXPECT_EQ(root->type, "multipart");
  ASSERT_TRUE(root->parts);
  ASSERT_EQ(root->part_count, 2);

  const MimeBody* alternative = root->parts->Get(0);
  EXPECT_EQ(alternative->subtype, "alternative");
  ASSERT_EQ(alternative->part_count, 2);
  const MimeBody* plain = alternative->parts->Get(0);
  const MimeBody* html = alternative->parts->Get(1);
  EXPECT_EQ(BodyOf(text, *plain), "plain text\r\n");
  EXPECT_EQ(plain->body_lines, 1);
  EXPECT_EQ(BodyOf(text, *html), "<p>html</p>\r\n");
  EXPECT_EQ(html->body_lines, 1);

  const MimeBody* envelope = root->parts->Get(1);
  ASSERT_TRUE(envelope->message);
  EXPECT_EQ(envelope->part_count, 1);
  const MimeBody& inner = *envelope->message;
  EXPECT_EQ(inner.subtype, "plain");
  EXPECT_EQ(BodyOf(text, inner), "embedded one\r\nembedded two\r\n");
  EXPECT_EQ(inner.body_lines, 2);
  // The container's count includes the nested lines after the line-count pass.
  EXPECT_EQ(envelope->body_lines, MimeLineCount(inner, false));
  EXPECT_EQ(root->parts->Get(2), nullptr);
  EXPECT_EQ(root->parts->Get(-1), nullptr);
}

TEST(ParserTree, BareLineFeedsAndBoundaryAcrossTheReadAheadBuffer) {
  // Shift the delimiter over the 32 KiB buffer edge so that the push-back of a delimiter
  // line crosses a refill.
  for (std::size_t pad = kReaderBufferBytes - 40; pad < kReaderBufferBytes + 8; pad += 3) {
    TempDir dir;
    std::string filler(pad, 'x');
    std::string text = "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\n" +
                       filler + "\n--b\nContent-Type: text/plain\n\nsecond\n--b--\n";
    auto root = ParseText(dir, text);
    ASSERT_TRUE(root);
    ASSERT_EQ(root->part_count, 2) << pad;
    EXPECT_EQ(BodyOf(text, *root->parts->Get(1)), "second\n");
    EXPECT_EQ(BodyOf(text, *root->parts->Get(0)).size(), pad + 1);
  }
}

// Everything the parser records, as one text, to compare two parses.
std::string Describe(const MimeBody& record) {
  std::string text = record.type + "/" + record.subtype + " " + record.encoding + " " +
                     record.disposition + " ";
  for (const MimeParam& param : record.params) text += param.attribute + "=" + param.value + ";";
  for (std::int64_t n : {record.header_offset, record.header_bytes, record.header_fields,
                         record.header_lines, record.body_offset, record.body_bytes,
                         record.body_lines, static_cast<std::int64_t>(record.part_count)}) {
    text += " " + std::to_string(n);
  }
  if (record.message) text += " message{" + Describe(*record.message) + "}";
  if (record.parts) {
    for (std::int32_t i = 0; i < record.parts->Count(); ++i) {
      text += " part{" + Describe(*record.parts->Get(i)) + "}";
    }
  }
  return text;
}

TEST(ParserTree, FedAFewBytesAtATimeTheTreeIsTheSame) {
  TempDir dir;
  std::vector<std::string> messages = {kNested};
  std::string data = testing::PythonMailData();
  if (!data.empty()) {
    for (const char* name : {"msg_13.txt", "msg_28.txt", "msg_42.txt", "msg_38.txt"}) {
      messages.push_back(testing::ReadFile(data + "/" + name));
    }
  }
  for (const std::string& text : messages) {
    std::string path = dir.File("0.bdx");
    WriteFile(path, text);
    auto whole = IMAPBODY_openfile(path);
    ASSERT_TRUE(whole);
    for (std::size_t buffer_bytes = 1; buffer_bytes <= 9; ++buffer_bytes) {
      auto piecewise = IMAPBODY_openfile(path, buffer_bytes);
      ASSERT_TRUE(piecewise);
      EXPECT_EQ(Describe(*piecewise), Describe(*whole)) << buffer_bytes;
    }
  }
}

TEST(ParserTree, ReleaseNullsThePointer) {
  TempDir dir;
  auto root = ParseText(dir, kNested);
  ASSERT_TRUE(root);
  ReleaseMimeBody(root);
  EXPECT_FALSE(root);
  EXPECT_FALSE(IMAPBODY_openfile(""));
  EXPECT_FALSE(IMAPBODY_openfile(dir.File("missing.bdx")));
}

// Hostile or broken input: nothing crashes, recursion and memory stay bounded, and the
// offsets stay inside the file.
TEST(ParserBadInput, TruncatedAtEveryByte) {
  TempDir dir;
  std::string text = kNested;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    auto root = ParseText(dir, text.substr(0, cut));
    ASSERT_TRUE(root) << cut;
    CheckConsistent(*root, static_cast<std::int64_t>(cut));
  }
}

TEST(ParserBadInput, MissingAndWrongBoundaries) {
  TempDir dir;
  // No close delimiter, a delimiter of another boundary, an empty boundary parameter.
  std::string text =
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
      "one\r\n--c\r\ntwo\r\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->part_count, 1);
  EXPECT_EQ(root->parts->Get(0)->body_lines, 3);
  auto empty = ParseText(dir, "Content-Type: multipart/mixed; boundary=\r\n\r\n--\r\nx\r\n");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->part_count, 0);
  EXPECT_EQ(empty->body_lines, 2);
}

TEST(ParserBadInput, LongBoundaryLongHeadersNulBytesAndCarriageReturns) {
  TempDir dir;
  std::string boundary(5000, 'q');
  std::string text = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" +
                     boundary + "\r\nContent-Type: text/plain\r\n\r\nx\r\n--" + boundary + "--\r\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  CheckConsistent(*root, static_cast<std::int64_t>(text.size()));

  std::string huge = "Subject: " + std::string(1 << 20, 's') + "\r\n" + "X-Folded: a\r\n" +
                     std::string(1 << 20, ' ') + "b\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
  root = ParseText(dir, huge);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->subtype, "plain");
  EXPECT_EQ(BodyOf(huge, *root), "body\r\n");

  std::string nul("Content-Type: text/pl\0ain\r\n\r\nab\0cd\r\n", 34);
  root = ParseText(dir, nul);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->body_lines, 1);

  std::string cr_only = "Content-Type: text/plain\rSubject: x\r\rone\rtwo\r";
  root = ParseText(dir, cr_only);
  ASSERT_TRUE(root);
  CheckConsistent(*root, static_cast<std::int64_t>(cr_only.size()));
}

TEST(ParserBadInput, TenThousandNestedMultipartsAreCutAtTheDepthLimit) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    text += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  }
  text += "Content-Type: text/plain\r\n\r\ndeep\r\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  EXPECT_LE(Depth(*root), kMaxNestingDepth + 2);
  CheckConsistent(*root, static_cast<std::int64_t>(text.size()));
}

TEST(ParserBadInput, TenThousandNestedMessagesAreCutAtTheDepthLimit) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "Content-Type: message/rfc822\r\n\r\n";
  text += "Content-Type: text/plain\r\n\r\ndeep\r\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  EXPECT_LE(Depth(*root), kMaxNestingDepth + 2);
  CheckConsistent(*root, static_cast<std::int64_t>(text.size()));
}

TEST(ParserBadInput, PartCountIsBounded) {
  TempDir dir;
  std::string text = "Content-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < kMaxPartCount + 50; ++i) text += "--b\n\nx\n";
  text += "--b--\n";
  auto root = ParseText(dir, text);
  ASSERT_TRUE(root);
  EXPECT_LE(root->part_count, kMaxPartCount);
  CheckConsistent(*root, static_cast<std::int64_t>(text.size()));
}

TEST(ParserBadInput, ParametersAfterAnOverlongOneAreKept) {
  TempDir dir;
  const std::string huge(70000, 'a');
  // One physical line, a field folded over many lines, and a huge quoted value.
  std::string folded = "Content-Type: text/plain; name=";
  for (int i = 0; i < 50; ++i) folded += std::string(1500, 'b') + "\r\n ";
  const std::string headers[] = {
      "Content-Type: text/plain; name=" + huge + "; charset=utf-7; format=flowed\r\n",
      folded + "x; charset=utf-7; format=flowed\r\n",
      "Content-Type: text/plain; name=\"" + huge + "\"; charset=\"utf-7\"; format=flowed\r\n",
  };
  for (const std::string& header : headers) {
    auto root = ParseText(dir, header + "\r\nHi\r\n");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->subtype, "plain");
    ASSERT_GE(root->params.size(), 3u);
    EXPECT_EQ(root->params[1].attribute, "charset");
    EXPECT_EQ(root->params[1].value, "utf-7");
    EXPECT_EQ(root->params[2].value, "flowed");
    EXPECT_LE(root->params[0].value.size(), kMaxHeaderFieldBytes);
    EXPECT_EQ(root->header_lines,
              header == folded + "x; charset=utf-7; format=flowed\r\n" ? 51 : 1);
    EXPECT_EQ(root->body_lines, 1);
  }
  // A header line of exactly the reader's piece length does not end the header.
  auto root = ParseText(dir, "X-Filler: " + std::string(kMaxParserLine - 10, 'f') +
                                 "\r\nContent-Type: text/html\r\n\r\n<p>\r\n");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->subtype, "html");
  EXPECT_EQ(root->header_fields, 2);
}

TEST(ParserRealMail, PythonTestSuiteMessages) {
  std::string data = testing::PythonMailData();
  if (data.empty()) GTEST_SKIP() << "libpython3.11-testsuite is not installed";
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("msg_", 0) != 0) continue;
    auto root = IMAPBODY_openfile(entry.path().string());
    ASSERT_TRUE(root) << name;
    CheckConsistent(*root, static_cast<std::int64_t>(std::filesystem::file_size(entry.path())));
  }
  // A multipart inside a multipart (msg_13): outer text, then the inner part with a text and
  // a base64 picture.
  std::string path = data + "/msg_13.txt";
  std::string text = testing::ReadFile(path);
  auto root = IMAPBODY_openfile(path);
  ASSERT_TRUE(root);
  ASSERT_EQ(root->part_count, 2);
  const MimeBody* inner = root->parts->Get(1);
  EXPECT_EQ(inner->subtype, "mixed");
  ASSERT_EQ(inner->part_count, 2);
  EXPECT_EQ(inner->parts->Get(1)->type, "image");
  EXPECT_EQ(inner->parts->Get(1)->disposition, "attachment");
  EXPECT_TRUE(BodyOf(text, *inner->parts->Get(1)).rfind("R0lGODdh", 0) == 0);
  // Embedded messages in a digest (msg_28).
  root = IMAPBODY_openfile(data + "/msg_28.txt");
  ASSERT_TRUE(root);
  ASSERT_EQ(root->part_count, 2);
  EXPECT_TRUE(root->parts->Get(0)->message);
  EXPECT_TRUE(root->parts->Get(1)->message);
}

}  // namespace
}  // namespace mime
