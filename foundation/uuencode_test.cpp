// Tests of the uuencode step: ordinary lines to 0.bdy, blocks to registered .ATT files,
// display names, real uuencoded pictures, and blocks that lie or try to escape the job.
#include "foundation/uuencode.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/test_root.h"
#include "platform/win32/windows.h"

namespace foundation {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Spill(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Without VT_SOURCE_DIR the checkout is found from this file's own path.
std::string GmimeData(const std::string& name) {
  const char* source = std::getenv("VT_SOURCE_DIR");
  std::string root = source != nullptr ? std::string(source)
                                        : fs::path(__FILE__).parent_path().parent_path().string();
  return root + "/testdata/gmime/" + name;
}

// A spool directory with one job directory "8f6" in a fresh temporary root.
class UuJob : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = machine_.Path("vantrel");
    job_ = root_ / "IN" / "8f6";
    fs::create_directories(job_);
  }

  int Convert(const std::string& input_text, bool* found) {
    fs::path input = root_ / "input.txt";
    Spill(input, input_text);
    return ConvertUuncodeAttachment(job_.string(), input.string(), found, true);
  }
  std::vector<fs::path> Attachments() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(job_)) {
      if (entry.path().extension() == ".ATT") files.push_back(entry.path());
    }
    return files;
  }
  std::string Body() const { return Slurp(job_ / "0.bdy"); }
  std::string Header() const { return Slurp(job_ / "0.hdf"); }

  testing::TestRoot machine_;
  fs::path root_;
  fs::path job_;
};

// "hello" uuencoded.
const char kHelloBlock[] = "%:&5L;&\\`\n`\nend\n";

TEST_F(UuJob, TextLinesAroundOneBlock) {
  bool found = false;
  ASSERT_EQ(Convert(std::string("hello\nbegin 644 Report.Doc.EXE\n") + kHelloBlock + "bye\n", &found), 0);
  EXPECT_TRUE(found);
  EXPECT_EQ(Body(), "hello\r\nbye\r\n");
  std::vector<fs::path> files = Attachments();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Slurp(files[0]), "hello");
  std::string name = files[0].filename().string();
  EXPECT_EQ(name.size(), 12u);  // eight digits and ".ATT"
  EXPECT_EQ(Header(), "Attachment: 8f6\\" + name + ",report_doc.exe\r\n");
}

TEST_F(UuJob, LinesThatOnlyLookLikeBlocksStayText) {
  bool found = false;
  ASSERT_EQ(Convert("begin\nbeginning of the text\n..dots\n   \t\nbegin the work at noon\n"
                    "trailing blanks   \n",
                    &found),
            0);
  EXPECT_FALSE(found);
  EXPECT_EQ(Body(),
            "begin\r\nbeginning of the text\r\n.dots\r\n\r\nbegin the work at noon\r\n"
            "trailing blanks\r\n");
  EXPECT_TRUE(Attachments().empty());
  EXPECT_FALSE(fs::exists(job_ / "0.hdf"));
}

TEST_F(UuJob, InterruptedBlockKeepsItsDataAndTheTextAfterIt) {
  bool found = false;
  ASSERT_EQ(Convert("before\nbegin 666 x.bin\n%:&5L;&\\`\nan ordinary line\nafter\n", &found), 0);
  EXPECT_TRUE(found);
  ASSERT_EQ(Attachments().size(), 1u);
  EXPECT_EQ(Slurp(Attachments()[0]), "hello");
  EXPECT_EQ(Body(), "before\r\nan ordinary line\r\nafter\r\n");
}

TEST_F(UuJob, RealPicturesDecodeToTheirOriginals) {
  for (auto [encoded, original] : {std::pair{"photo.uu", "photo.jpg"},
                                   std::pair{"raptors.uu.txt", "raptors.png"}}) {
    fs::remove_all(job_);
    fs::create_directories(job_);
    std::string text = Slurp(GmimeData(encoded));
    ASSERT_FALSE(text.empty()) << encoded;
    bool found = false;
    ASSERT_EQ(Convert(text, &found), 0);
    EXPECT_TRUE(found);
    std::vector<fs::path> files = Attachments();
    ASSERT_EQ(files.size(), 1u) << encoded;
    EXPECT_TRUE(Slurp(files[0]) == Slurp(GmimeData(original))) << encoded;
  }
}

// uuencode(1) output for 82 bytes whose last line of 37 bytes (length character 'E')
// starts with the bytes 0xBA 0x41, so that the data line itself begins with "END".
const char kEndLineFile[] =
    "begin 644 endline.bin\n"
    "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\n"
    "END%686YT<F5L(&5N9\"UL:6YE('1E<W0@9&%T82P@,S<@8GET90``\n"
    "`\n"
    "end\n";

TEST_F(UuJob, DataLineBeginningWithEndIsDataNotTheEndLine) {
  std::string original;
  for (int i = 0; i < 45; ++i) original.push_back(static_cast<char>(i));
  original += "\xBA\x41Vantrel end-line test data, 37 byte";
  ASSERT_EQ(original.size(), 82u);
  for (const char* end_line : {"end\n", "END  \r\n", "end\t\n"}) {
    fs::remove_all(job_);
    fs::create_directories(job_);
    std::string text = kEndLineFile;
    text.replace(text.rfind("end\n"), 4, end_line);
    bool found = false;
    ASSERT_EQ(Convert("before\n" + text + "after\n", &found), 0);
    std::vector<fs::path> files = Attachments();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(Slurp(files[0]) == original) << end_line;
    EXPECT_EQ(Body(), "before\r\nafter\r\n") << end_line;
  }
}

TEST_F(UuJob, NamesWithSeparatorsStayInsideTheJob) {
  bool found = false;
  ASSERT_EQ(Convert(std::string("begin 644 ../../evil/x.exe\n") + kHelloBlock +
                        "begin 644 C:\\windows\\a,b.exe\n" + kHelloBlock,
                    &found),
            0);
  EXPECT_EQ(Attachments().size(), 2u);
  std::string header = Header();
  EXPECT_NE(header.find(",____evilx.exe\r\n"), std::string::npos) << header;
  EXPECT_NE(header.find(",c:windowsa_b.exe\r\n"), std::string::npos) << header;
  EXPECT_FALSE(fs::exists(root_ / "evil"));
  EXPECT_FALSE(fs::exists(root_ / "IN" / "evil"));
  // Every file the step made is in the job directory.
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_regular_file() && entry.path().parent_path() != job_) {
      EXPECT_EQ(entry.path().filename(), "input.txt");
    }
    ++files;
  }
  EXPECT_GT(files, 0u);
}

TEST_F(UuJob, LyingLineCountsAndBrokenInput) {
  bool found = false;
  // The count says 45 bytes, the line holds 12 and the next line is text: not data.
  ASSERT_EQ(Convert("begin 644 lie.bin\nM86)C9&5F9VAI\nplain text\n", &found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(Body(), "begin 644 lie.bin\r\nM86)C9&5F9VAI\r\nplain text\r\n");
  EXPECT_TRUE(Attachments().empty());

  // CR-only line ends, NUL bytes and Ctrl-Z inside lines, a line far beyond the buffer.
  fs::remove(job_ / "0.bdy");
  std::string text("a\rb\0c\x1A\r", 8);
  text += std::string(5000, 'z') + "\rbegin 644 h.txt\r%:&5L;&\\`\r`\rend\r";
  ASSERT_EQ(Convert(text, &found), 0);
  EXPECT_TRUE(found);
  EXPECT_EQ(Body(), "a\r\nbc\r\n" + std::string(kUuLineBytes - 1, 'z') + "\r\n");
}

TEST_F(UuJob, AppendsAndReportsFailures) {
  Spill(job_ / "0.bdy", "earlier\r\n");
  bool found = false;
  ASSERT_EQ(Convert("later\n", &found), 0);
  EXPECT_EQ(Body(), "earlier\r\nlater\r\n");
  EXPECT_EQ(ConvertUuncodeAttachment(job_.string(), (root_ / "missing").string(), &found, true), -1);
  EXPECT_EQ(ConvertUuncodeAttachment((root_ / "no-such-job").string(),
                                     (root_ / "input.txt").string(), &found, true),
            -1);
}

TEST_F(UuJob, AllowMsbMakerValueKeepsHighBytes) {
  bool found = false;
  ASSERT_EQ(Convert(std::string("begin 644 caf\xC3\xA9\n") + kHelloBlock, &found), 0);
  EXPECT_NE(Header().find(",caf\r\n"), std::string::npos);

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(key, "AllowMSB", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(Convert(std::string("begin 644 caf\xC3\xA9\n") + kHelloBlock, &found), 0);
  EXPECT_NE(Header().find(",caf\xC3\xA9\r\n"), std::string::npos);
}

TEST(UuDisplayNames, Normalisation) {
  struct Case {
    const char* raw;
    bool allow_msb;
    const char* expected;
  } cases[] = {
      {"Report.Doc.EXE", false, "report_doc.exe"},
      {"  \"quoted name.txt\"  ", false, "quoted name.txt"},
      {"trailing...;:\\", false, "trailing"},
      {"caf\xC3\xA9", false, "caf"},
      {"caf\xC3\xA9", true, "caf\xC3\xA9"},
      {"a\\b\"c.d", false, "abc.d"},
  };
  for (const Case& c : cases) EXPECT_EQ(UuDisplayName(c.raw, c.allow_msb), c.expected) << c.raw;
}

}  // namespace
}  // namespace foundation
