// utilities_test.cpp - paths, trimming, bounded copies, the file probe, line reads, the
// random source and the names built from it.
#include "foundation/utilities.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "foundation/error_text.h"


namespace foundation {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vt-util-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(std::string_view name, std::string_view content = "") const {
    const std::string full = path_ + "/" + std::string(name);
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

TEST(PathTest, AddAndRemoveSeparator) {
  struct Case {
    std::string in;
    bool changed;
    std::string out;
  };
  const Case adds[] = {
      {"", false, ""}, {"/a/b", true, "/a/b/"}, {"/a/b/", false, "/a/b/"}, {"c:\\x\\", false, "c:\\x\\"}};
  for (const Case& c : adds) {
    std::string path = c.in;
    EXPECT_EQ(AddBackslash(path), c.changed) << c.in;
    EXPECT_EQ(path, c.out) << c.in;
  }
  const Case removes[] = {{"", false, ""},         {"/", false, "/"},
                          {"\\", false, "\\"},     {"\\\\", false, "\\\\"},
                          {"//", false, "//"},     {"/a/b/", true, "/a/b"},
                          {"/a/b//", true, "/a/b/"}, {"/a/b", false, "/a/b"}};
  for (const Case& c : removes) {
    std::string path = c.in;
    EXPECT_EQ(RemoveBackslash(path), c.changed) << c.in;
    EXPECT_EQ(path, c.out) << c.in;
  }
}

TEST(PathTest, SplitPath) {
  struct Case {
    std::string full, directory, file;
  };
  const Case cases[] = {
      {"/root/domino/nrouter", "/root/domino/", "nrouter"},
      {"nrouter", "/", "nrouter"},
      {"/root/dir/", "/root/dir/", ""},
      {"C:\\Program Files\\Vantrel\\vantrel.ini", "C:\\Program Files\\Vantrel\\", "vantrel.ini"},
      {"C:vantrel.ini", "C:", "vantrel.ini"},
      {"/tmp/a:b", "/tmp/", "a:b"},
      {"\"/root/my dir/prog\"", "/root/my dir/", "prog"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::string directory = "junk", file = "junk";
    SplitPath(c.full, directory, file);
    EXPECT_EQ(directory, c.directory) << c.full;
    EXPECT_EQ(file, c.file) << c.full;
  }
}

TEST(TextTest, TrimKeepsWhatEachFormLeaves) {
  // TrimBoth leaves a leading CR or LF: only blanks and tabs go at the front.
  std::string text = " \t\r\nvalue \t\r\n";
  EXPECT_EQ(TrimBoth(text), 7u);
  EXPECT_EQ(text, "\r\nvalue");
  text = " \t\r\nvalue \r\n";
  EXPECT_EQ(TrimLeft(text), 8u);
  EXPECT_EQ(text, "value \r\n");
  EXPECT_EQ(TrimRight(text), 5u);
  EXPECT_EQ(text, "value");
  text = " \t\r\n";
  EXPECT_EQ(TrimBoth(text), 0u);
  EXPECT_EQ(text, "");

  char buffer[] = "\t key = v \r\n";
  EXPECT_EQ(TrimBoth(buffer), 7u);
  EXPECT_STREQ(buffer, "key = v");
  char blank[] = "   ";
  EXPECT_EQ(TrimLeft(blank), 0u);
  EXPECT_STREQ(blank, "");
  EXPECT_EQ(TrimBoth(static_cast<char*>(nullptr)), 0u);
  EXPECT_EQ(TrimRight(static_cast<char*>(nullptr)), 0u);
}

TEST(TextTest, BoundedCopiesNeverPassTheEnd) {
  // One guard byte after the visible buffer catches a write past its end.
  char storage[9];
  std::memset(storage, 'G', sizeof(storage));
  std::span<char> buffer(storage, 8);

  EXPECT_FALSE(CopyBounded(buffer, "1234567"));
  EXPECT_STREQ(storage, "1234567");
  EXPECT_TRUE(CopyBounded(buffer, "12345678"));
  EXPECT_STREQ(storage, "1234567");
  EXPECT_TRUE(CopyBounded(buffer, "a much longer text"));
  EXPECT_STREQ(storage, "a much ");
  EXPECT_EQ(storage[8], 'G');

  EXPECT_FALSE(CopyBounded(buffer, "ab"));
  EXPECT_FALSE(AppendBounded(buffer, "cd", 8));
  EXPECT_STREQ(storage, "abcd");
  EXPECT_TRUE(AppendBounded(buffer, "efgh", 6));  // total stays below 6
  EXPECT_STREQ(storage, "abcde");
  EXPECT_TRUE(AppendBounded(buffer, "xyz", 100));  // limit capped at the buffer
  EXPECT_STREQ(storage, "abcdexy");
  EXPECT_TRUE(AppendBounded(buffer, "z", 8));
  EXPECT_STREQ(storage, "abcdexy");
  EXPECT_EQ(storage[8], 'G');

  // No terminator within the limit: nothing is appended.
  std::memset(storage, 'x', 8);
  EXPECT_TRUE(AppendBounded(buffer, "y", 8));
  EXPECT_EQ(storage[7], 'x');
  EXPECT_EQ(storage[8], 'G');

  std::string target = "abc";
  EXPECT_TRUE(AppendBounded(target, "defgh", 6));
  EXPECT_EQ(target, "abcde");
  EXPECT_TRUE(AppendBounded(target, "z", 6));
  EXPECT_EQ(target, "abcde");
}

TEST(TextTest, FormattedTextsKeepTheirLengthOrTheirBound) {
  const std::string long_text(9000, 'x');
  EXPECT_EQ(StringPrintf("%s!", long_text.c_str()).size(), 9001u);
  EXPECT_EQ(StringPrintf("%d-%s", 42, "id"), "42-id");
  EXPECT_EQ(StringPrintf("%s", ""), "");
  auto bounded = [](std::size_t bound, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = StringPrintfV(bound, format, arguments);
    va_end(arguments);
    return text;
  };
  EXPECT_EQ(bounded(6, "%s", "abcdefgh"), "abcde");
  EXPECT_EQ(bounded(1, "%s", "abc"), "");
  EXPECT_EQ(bounded(0, "%s", "abc"), "");
  EXPECT_TRUE(EqualsNoCase("Enable", "eNABLE"));
  EXPECT_FALSE(EqualsNoCase("Enable", "Enabled"));
  EXPECT_TRUE(StartsWithNoCase("cn=Alice/O=Acme", "CN="));
  EXPECT_FALSE(StartsWithNoCase("CN", "CN="));
}

TEST(MemoryTest, ZeroAllocGivesZeroedBlocksAndReportsFailure) {
  BlockPtr block(ZeroAlloc(64));
  ASSERT_NE(block, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(block.get());
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], 0);
  EXPECT_TRUE(FreeBlock(nullptr));

  std::string error;
  void* impossible = ZeroAlloc(kMaxBlockBytes + 1, &error);
  EXPECT_EQ(impossible, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(error, ErrorText());
}

TEST(FileTest, ProbeSkipsDirectoriesAndReportsTheFile) {
  TempDir dir;
  fs::create_directory(dir.path() + "/job.hd0");
  EXPECT_EQ(FileProbe(dir.path() + "/job.hd0"), 1);
  EXPECT_EQ(FileProbe(dir.path() + "/*.hd0"), 1);
  EXPECT_EQ(FileProbe(dir.path() + "/missing"), 1);
  EXPECT_EQ(FileProbe(""), 1);

  dir.File("8F6.HD0", "12345");
  ProbeResult result;
  EXPECT_EQ(FileProbe(dir.path() + "/*.hd0", &result), 0);
  EXPECT_EQ(result.size_low, 5u);
  EXPECT_STRCASEEQ(result.find_data.cFileName, "8f6.hd0");

  EXPECT_TRUE(IsDirectory(dir.path()));
  EXPECT_FALSE(IsDirectory(dir.path() + "/8F6.HD0"));
  EXPECT_FALSE(IsDirectory(dir.path() + "/missing"));
  EXPECT_FALSE(IsDirectory(""));
}

TEST(FileTest, ReadHandleLineSplitsAsTheHeaderReadersExpect) {
  TempDir dir;
  const std::string path = dir.File("lines.txt", "Body: 1.bdy\r\nshort\nabcdefghij\nlast");
  HANDLE file = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char line[8];
  std::vector<std::string> lines;
  while (ReadHandleLine(line, file)) lines.emplace_back(line);
  CloseHandle(file);
  // CR LF gives an empty line; a line longer than the buffer comes in pieces of size - 1;
  // the unterminated last line still counts.
  const std::vector<std::string> expected = {"Body: 1", ".bdy", "", "short", "abcdefg", "hij", "last"};
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(ReadHandleLine(line, INVALID_HANDLE_VALUE));
}

// The published test of the generator: seeds 1802 and 9373, 20000 numbers drawn, then these
// six (the floating form's values times 2^24).
TEST(RandomTest, RanmarMatchesThePublishedSequence) {
  Ranmar generator;
  generator.Seed(1802, 9373);
  for (int i = 0; i < 20000; ++i) (void)generator.Next();
  const std::uint32_t expected[] = {6533892, 14220222, 7275067, 6172232, 8354498, 10633180};
  for (std::uint32_t value : expected) EXPECT_EQ(generator.Next(), value);
}

TEST(RandomTest, SharedSourceIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  std::vector<std::set<std::uint32_t>> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < 2000; ++i) seen[t].insert(NextRandom());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::uint32_t> all;
  for (const auto& values : seen) {
    for (std::uint32_t value : values) {
      EXPECT_LT(value, 1u << 24);
      all.insert(value);
    }
  }
  // 8000 draws out of 2^24 values: a torn state would repeat far more than a few.
  EXPECT_GT(all.size(), 7900u);
}

TEST(RandomTest, UniqueSuffixAppendsAtMostEightDigits) {
  std::string path;
  UniqueSuffix(path, 0);
  EXPECT_TRUE(std::regex_match(path, std::regex("/[0-9]{2,8}"))) << path;
  std::set<std::string> names;
  for (int i = 0; i < 200; ++i) {
    std::string name = "/root/vantrel/IN/";
    UniqueSuffix(name, 100);
    EXPECT_TRUE(std::regex_match(name, std::regex("/root/vantrel/IN/[0-9]{2,8}"))) << name;
    names.insert(name);
  }
  EXPECT_GT(names.size(), 195u);
}

TEST(RandomTest, MakeIdInOneMillisecondDiffersInItsRandomDigits) {
  const std::regex layout("([0-9]+)-([0-9]{10})");
  // Two ids in the same tick: retry until both calls fall into one millisecond.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string first = MakeId();
    const std::string second = MakeId();
    std::smatch a, b;
    ASSERT_TRUE(std::regex_match(first, a, layout)) << first;
    ASSERT_TRUE(std::regex_match(second, b, layout)) << second;
    if (a[1] != b[1]) continue;
    EXPECT_NE(a[2], b[2]);
    EXPECT_TRUE(std::regex_match(MakeId(false), std::regex("[0-9]+")));
    return;
  }
  FAIL() << "no two ids fell into one millisecond";
}

TEST(TimeTest, LogDateTimeLayout) {
  EXPECT_TRUE(std::regex_match(
      LogDateTime(),
      std::regex("[0-3][0-9] (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                 "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")));
}

}  // namespace
}  // namespace foundation
