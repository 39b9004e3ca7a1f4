// Tests of the text writer and its decoders: which parts are written, what the body file
// and the job header hold afterwards, and each decoder on real and broken encodings.
#include "mime/text_extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "mime/decoders.h"
#include "mime/test_support.h"

namespace mime {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Parses raw as a job's 0.bdx and writes its text into 0.bdy, as capture does.
struct Job {
  TempDir dir;
  std::string bdx = dir.File("0.bdx");
  std::string bdy = dir.File("0.bdy");
  std::string hdf = dir.File("0.hdf");

  int Capture(const std::string& raw) {
    WriteFile(bdx, raw);
    auto root = IMAPBODY_openfile(bdx);
    if (!root) return -2;
    int first = 1;
    int done = 0;
    return showBody(bdy, bdx, root.get(), first, done);
  }
  std::string Body() const { return ReadFile(bdy); }
  std::vector<std::string> Files(const std::string& suffix) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      std::string name = entry.path().filename().string();
      if (name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix) {
        names.push_back(name);
      }
    }
    return names;
  }
};

TEST(PartChoice, AlternativeWritesOnlyThePlainText) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: multipart/alternative; boundary=b\r\n\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\nHello plain\r\n"
                        "--b\r\nContent-Type: text/html\r\n\r\n<b>Hello html</b>\r\n--b--\r\n"),
            0);
  EXPECT_EQ(job.Body(), "Hello plain\r\n");
  EXPECT_TRUE(job.Files(".ATT").empty());
  EXPECT_TRUE(job.Files(".tmp").empty());
  EXPECT_FALSE(testing::Exists(job.hdf));
}

TEST(PartChoice, NoContentTypeWritesNothing) {
  Job job;
  ASSERT_EQ(job.Capture("Subject: x\r\n\r\njust text\r\n"), 0);
  EXPECT_FALSE(testing::Exists(job.bdy));
}

TEST(PartChoice, SingleHtmlPartBecomesARegisteredAttachment) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: text/html\r\n\r\n<p>one</p>\r\n<p>two</p>\r\n"), 0);
  std::vector<std::string> attached = job.Files(".ATT");
  ASSERT_EQ(attached.size(), 1u);
  std::string name = attached[0];
  std::string base = name.substr(0, name.size() - 4);
  EXPECT_EQ(name.rfind("vnt", 0), 0u);
  EXPECT_EQ(ReadFile(job.dir.File(name)), "<p>one</p>\r\n<p>two</p>\r\n");
  std::string body = job.Body();
  EXPECT_EQ(body.rfind("The Contents of this email are present in the attachment " + base +
                           ".HTML below\r\n",
                       0),
            0u);
  std::string job_name = std::filesystem::path(job.dir.path()).filename().string();
  EXPECT_EQ(ReadFile(job.hdf),
            "Attachment: " + job_name + "\\" + name + "," + base + ".html\r\n");
}

TEST(PartChoice, EmbeddedMessageFollowsTheSeparator) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\nouter\r\n"
                        "--b\r\nContent-Type: message/rfc822\r\n\r\n"
                        "Subject: fwd\r\nContent-Type: text/plain\r\n\r\ninner\r\n--b--\r\n"),
            0);
  EXPECT_EQ(job.Body(), "outer\r\n\r\n-------- Original Message--------\r\ninner\r\n");
}

TEST(PartChoice, AttachedTextIsWrittenWithoutItsNameLine) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\nbody text\r\n"
                        "--b\r\nContent-Type: text/plain\r\n"
                        "Content-Disposition: attachment; filename=\"notes.txt\"\r\n\r\n"
                        "  NOTES.TXT follows\r\nattached line\r\n--b--\r\n"),
            0);
  EXPECT_EQ(job.Body(),
            "body text\r\n\r\n-------- Original Message--------\r\nattached line\r\n");
}

TEST(PartChoice, NameLineOfAttachedEnrichedOrHtmlTextLosesNothingElse) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\nbody text\r\n"
                        "--b\r\nContent-Type: text/enriched\r\n"
                        "Content-Disposition: attachment; filename=a.txt\r\n\r\n"
                        "a.txt\r\nrich\r\n"
                        "--b\r\nContent-Type: text/html\r\n"
                        "Content-Disposition: attachment; filename=p.html\r\n\r\n"
                        "<p>kept</p>\r\np.html\r\n--b--\r\n"),
            0);
  // The body file keeps the text written before the enriched part's name line; the HTML
  // part whose last line was its name line is not registered.
  EXPECT_EQ(job.Body().rfind("body text\r\n\r\n-------- Original Message--------\r\nrich\r\n", 0),
            0u);
  EXPECT_TRUE(job.Files(".ATT").empty());
  EXPECT_TRUE(job.Files(".tmp").empty());
  EXPECT_FALSE(testing::Exists(job.hdf));
}

TEST(PartChoice, EncodedPartsAreDecoded) {
  Job job;
  ASSERT_EQ(job.Capture("Content-Type: multipart/mixed; boundary=b\n\n"
                        "--b\nContent-Type: text/plain\nContent-Transfer-Encoding: base64 \n\n"
                        "SGVsbG8gd29ybGQNCg==\n"
                        "--b\nContent-Type: text/plain; charset=\"UTF-7\"\n"
                        "Content-Disposition: inline\n"
                        "Content-Transfer-Encoding: quoted-printable\n\n"
                        "Hi Mom -+Jjo--!=\n and more\n"
                        "--b\nContent-Type: text/enriched\nContent-Disposition: inline\n\n"
                        "<bold>Bold</bold> <<tag<param>x</param>\n--b--\n"),
            0);
  EXPECT_EQ(job.Body(),
            "Hello world\r\n"
            "\r\n-------- Original Message--------\r\n"
            "Hi Mom -\xE2\x98\xBA-! and more\r\n"
            "\r\n-------- Original Message--------\r\n"
            "Bold <tag\r\n");
}

TEST(PartChoice, LongLinesDoNotRunIntoTheNextPart) {
  // A line longer than the parser's line pieces counts as several lines; the writer still
  // stops where the part ends.
  Job job;
  std::string long_line(4500, 'a');
  ASSERT_EQ(job.Capture("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                        "--b\r\nContent-Type: text/plain\r\n\r\n" + long_line +
                        "\r\n--b\r\nContent-Type: application/octet-stream\r\n\r\nsecret\r\n--b--\r\n"),
            0);
  EXPECT_EQ(job.Body(), long_line + "\r\n");
}

std::vector<std::string>& LoggedLines() {
  static std::vector<std::string> lines;
  return lines;
}

// Text past the parser's limits is still written, and the warning names the mail's file.
TEST(PartChoice, TextBeyondTheParserLimitsIsWrittenAndWarnedAbout) {
  SetLogSink([](int, const char* text) { LoggedLines().push_back(text); });
  std::string deep;
  for (int i = 0; i < kMaxNestingDepth + 6; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  }
  deep += "Content-Type: text/plain\r\n\r\nthe deepest words\r\n";
  std::string many =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
      "Content-Type: text/plain\r\n\r\nfirst text\r\n";
  for (int i = 1; i < kMaxPartCount + 5; ++i) {
    many +=
        "--b\r\nContent-Type: application/octet-stream\r\n\r\npart " + std::to_string(i) + "\r\n";
  }
  many += "--b--\r\nepilogue\r\n";
  for (const std::string* raw : {&deep, &many}) {
    LoggedLines().clear();
    Job job;
    ASSERT_EQ(job.Capture(*raw), 0);
    const std::string body = job.Body();
    if (raw == &deep) {
      EXPECT_NE(body.find("the deepest words\r\n"), std::string::npos);
    } else {
      EXPECT_EQ(body.rfind("first text\r\n", 0), 0u);
      // The parts after the limit are written with the last part kept, up to the close
      // delimiter; the parts before it are not text and stay out.
      EXPECT_NE(body.find("part " + std::to_string(kMaxPartCount + 4) + "\r\n"), std::string::npos);
      EXPECT_EQ(body.find("part 5\r\n"), std::string::npos);
      EXPECT_EQ(body.find("--b--"), std::string::npos);
    }
    int warnings = 0;
    for (const std::string& line : LoggedLines()) {
      if (line.rfind("WARNING!!! " + job.bdx, 0) == 0) ++warnings;
    }
    EXPECT_EQ(warnings, 1);
  }
  SetLogSink([](int, const char*) {});
}

TEST(PartChoice, InvalidArguments) {
  int first = 1;
  int done = 0;
  MimeBody record;
  EXPECT_EQ(showBody("", "x", &record, first, done), -1);
  EXPECT_EQ(showBody("x", "x", nullptr, first, done), -1);
  EXPECT_EQ(IMAPBODY_RESPONSE_TEXT("x", "", &record, 1, 0), -1);
  EXPECT_EQ(AddHTMLHeader(""), -1);
  TempDir dir;
  record.type = "text";
  record.subtype = "plain";
  record.body_lines = 1;
  record.body_bytes = 10;
  EXPECT_EQ(IMAPBODY_RESPONSE_TEXT(dir.File("0.bdy"), dir.File("missing"), &record, 1, 0), -1);
}

TEST(Base64Line, CleanAndUncleanLines) {
  std::string out;
  DecodeBase64Line("QUI=", &out);
  EXPECT_EQ(out, "AB");
  DecodeBase64Line("  QUJD\r\n", &out);
  EXPECT_EQ(out, "ABC");
  DecodeBase64Line("QU*JDR", &out);  // stray character, length not a multiple of four
  EXPECT_EQ(out, "");
  DecodeBase64Line("QU*JD", &out);  // stray character, four kept: decoded
  EXPECT_EQ(out, "ABC");
  DecodeBase64Line("====", &out);
  EXPECT_EQ(out, "");
  DecodeBase64Line("QQ==QUJD", &out);  // data after the padding is dropped
  EXPECT_EQ(out, "A");
}

TEST(Base64Line, RealImageDecodesToTheOriginal) {
  std::string encoded = ReadFile(testing::GmimeData("photo.b64"));
  std::string original = ReadFile(testing::GmimeData("photo.jpg"));
  ASSERT_FALSE(encoded.empty());
  std::string decoded;
  std::string out;
  std::size_t start = 0;
  while (start < encoded.size()) {
    std::size_t end = encoded.find('\n', start);
    if (end == std::string::npos) end = encoded.size();
    DecodeBase64Line(std::string_view(encoded).substr(start, end - start), &out);
    decoded += out;
    start = end + 1;
  }
  EXPECT_EQ(decoded, original);
}

TEST(QuotedPrintableLine, SoftBreaksEscapesAndTrailingSpace) {
  std::string out;
  bool hard_end = false;
  EXPECT_TRUE(DecodeQuotedPrintableLine("abc=\r\n", &out, &hard_end));
  EXPECT_EQ(out, "abc");
  EXPECT_FALSE(DecodeQuotedPrintableLine("caf=C3=a9  \r\n", &out, &hard_end));
  EXPECT_TRUE(hard_end);
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_FALSE(DecodeQuotedPrintableLine("a=ZZb=4", &out, &hard_end));
  EXPECT_EQ(out, "a=ZZb=4");
  std::string long_line(4990, 'x');
  DecodeQuotedPrintableLine(long_line, &out, &hard_end);
  EXPECT_EQ(out.size(), long_line.size());
}

TEST(QuotedPrintableLine, RealTextDecodesToTheOriginal) {
  Job job;
  std::string encoded = ReadFile(testing::GmimeData("wikipedia.qp"));
  std::string original = ReadFile(testing::GmimeData("wikipedia.txt"));
  ASSERT_FALSE(encoded.empty());
  ASSERT_EQ(job.Capture("Content-Type: text/plain; charset=utf-8\n"
                        "Content-Transfer-Encoding: quoted-printable\n\n" + encoded),
            0);
  std::string expected;
  for (char c : original) {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  EXPECT_EQ(job.Body(), expected);
}

// A line fed in two pieces, cut at every position before its line feed (the reader cuts
// only lines that go on), decodes as the whole line does. (An unclean base64 line that is
// no whole number of groups is the exception: its earlier pieces are already written.)
TEST(LinePieces, EveryCutDecodesAsTheWholeLine) {
  const std::string base64_lines[] = {"QUJDREVGR0g=\r\n", "  QUJD REVG\r\n", "QU*JD\r\n",
                                      "QQ==QUJD\r\n", "QUJDRA==\r\n"};
  for (const std::string& line : base64_lines) {
    std::string whole;
    DecodeBase64Line(line, &whole);
    for (std::size_t cut = 0; cut <= line.find('\n'); ++cut) {
      Base64LineDecoder decoder;
      std::string first;
      std::string second;
      decoder.Feed(std::string_view(line).substr(0, cut), true, &first);
      decoder.Feed(std::string_view(line).substr(cut), false, &second);
      EXPECT_EQ(first + second, whole) << line << " cut at " << cut;
    }
  }
  const std::string qp_lines[] = {"caf=C3=A9 au lait  \r\n", "soft =  \r\n", "a=ZZb=4",
                                  "x == y =3D z\n",          "tail =\t",     "a  b\t=20 c"};
  for (const std::string& line : qp_lines) {
    std::string whole;
    bool whole_hard = false;
    const bool whole_soft = DecodeQuotedPrintableLine(line, &whole, &whole_hard);
    for (std::size_t cut = 0; cut <= std::min(line.size(), line.find('\n')); ++cut) {
      QuotedPrintableLineDecoder decoder;
      std::string first;
      std::string second;
      bool hard = false;
      EXPECT_FALSE(decoder.Feed(std::string_view(line).substr(0, cut), true, &first, &hard));
      EXPECT_FALSE(hard);
      const bool soft = decoder.Feed(std::string_view(line).substr(cut), false, &second, &hard);
      EXPECT_EQ(first + second, whole) << line << " cut at " << cut;
      EXPECT_EQ(soft, whole_soft) << line << " cut at " << cut;
      EXPECT_EQ(hard, whole_hard) << line << " cut at " << cut;
    }
  }
}

TEST(LinePieces, LongQuotedPrintableLineKeepsItsWordsTogether) {
  // Blanks at the reader's cut are trailing only when the line ends after them.
  Job job;
  const std::string words =
      std::string(4995, 'w') + "   x=\r\n" + std::string(4996, 'v') + "   \r\nend\r\n";
  ASSERT_EQ(job.Capture("Content-Type: text/plain\r\nContent-Transfer-Encoding: "
                        "quoted-printable\r\n\r\n" +
                        words),
            0);
  EXPECT_EQ(job.Body(), std::string(4995, 'w') + "   x" + std::string(4996, 'v') + "\r\nend\r\n");
}

TEST(EnrichedLine, CommandsParamsAndLineFeeds) {
  std::string out;
  EnrichedToPlainLine("<bold>word</bold><<", &out);
  EXPECT_EQ(out, "word<");
  EnrichedToPlainLine("a<param>dropped</param>b\r\n", &out);
  EXPECT_EQ(out, "ab\r\n");
  EnrichedToPlainLine("one\ntwo\n\n\nthree", &out);
  EXPECT_EQ(out, "one two\n\nthree");
  EnrichedToPlainLine("<nofill>x\ny</nofill>", &out);
  EXPECT_EQ(out, "x\ny");
  EnrichedToPlainLine("<unterminated command", &out);
  EXPECT_EQ(out, "");
}

TEST(Utf7Line, DecodesToUtf8AndSkipsInvalidSequences) {
  std::string out;
  Utf7ToCodePage("A+ImIDkQ.", &out);  // RFC 2152: A, not identical to, Alpha, dot
  EXPECT_EQ(out, "A\xE2\x89\xA2\xCE\x91.");
  Utf7ToCodePage("1 +- 1", &out);
  EXPECT_EQ(out, "1 + 1");
  Utf7ToCodePage("+2D3cAA-", &out);  // a surrogate pair: U+1F400
  EXPECT_EQ(out, "\xF0\x9F\x90\x80");
  Utf7ToCodePage("+2D0-x\xC3", &out);  // lone high surrogate, a byte above 127
  EXPECT_EQ(out, "x");
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "+Jjo-";
  Utf7ToCodePage(many, &out);
  EXPECT_LE(out.size(), kDecodeBufferBytes);
  EXPECT_EQ(out.size() % 3, 0u);
}

TEST(LineReader, LineEndsAndPieces) {
  TempDir dir;
  std::string path = dir.File("lines");
  WriteFile(path, "a\r\nb\nc\rd\n" + std::string(5000, 'x') + "\nlast");
  std::vector<std::string> lines;
  // Read with the usual buffer and a few bytes at a time: the same lines.
  for (std::size_t buffer_bytes : {std::size_t{65536}, std::size_t{1}, std::size_t{2},
                                   std::size_t{3}, std::size_t{7}}) {
    SourceFile file;
    ASSERT_TRUE(file.Open(path, nullptr));
    TextLineReader reader(&file, buffer_bytes);
    ASSERT_TRUE(reader.Start(0));
    std::string line;
    std::int64_t consumed = 0;
    std::vector<std::string> read;
    while (reader.Next(&line, &consumed)) read.push_back(line);
    if (!lines.empty()) {
      EXPECT_EQ(read, lines) << buffer_bytes;
    }
    lines = read;
  }
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "a\r\n");
  EXPECT_EQ(lines[1], "b\r\n");
  EXPECT_EQ(lines[2], "c\rd\r\n");
  EXPECT_EQ(lines[3], std::string(kTextLineChars, 'x'));
  EXPECT_EQ(lines[4], std::string(5000 - kTextLineChars, 'x') + "\r\n");
  EXPECT_EQ(lines[5], "last");
}

TEST(TextRealMail, PythonTestSuiteMessages) {
  std::string data = testing::PythonMailData();
  if (data.empty()) GTEST_SKIP() << "libpython3.11-testsuite is not installed";
  for (const auto& entry : std::filesystem::directory_iterator(data)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("msg_", 0) != 0) continue;
    Job job;
    EXPECT_EQ(job.Capture(ReadFile(entry.path().string())), 0) << name;
  }
  // msg_07: the text part is written, the base64 picture is not.
  Job job;
  ASSERT_EQ(job.Capture(ReadFile(data + "/msg_07.txt")), 0);
  EXPECT_EQ(job.Body(), "Hi there,\r\n\r\nThis is the dingus fish.\r\n\r\n");
}

}  // namespace
}  // namespace mime
