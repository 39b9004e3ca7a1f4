// Tests of the vtcapture tool as an administrator runs it: the fallbacks of the mime
// command, the uu command, the tree listing and the exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "mime/test_support.h"

namespace mime {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct ToolRun {
  int status;
  std::string output;
};

ToolRun Capture(const std::string& arguments) {
  // The tool is in the build tree's bin, beside the tests directory of this program.
  const char* build = std::getenv("VT_BUILD_DIR");
  std::string root =
      build != nullptr
          ? std::string(build)
          : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
  std::string command = root + "/bin/vtcapture " + arguments + " 2>&1";
  ToolRun run{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Vtcapture, MimeFallsBackToUuencodeThenToTheRawCopy) {
  TempDir dir;
  std::string uu = dir.File("uu.eml");
  WriteFile(uu, "Subject: file\n\nsee attached\nbegin 644 a.txt\n%:&5L;&\\`\n`\nend\n");
  ToolRun run = Capture("mime " + uu + " " + dir.File("job1"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(dir.File("job1/0.bdy")), "Subject: file\r\n\r\nsee attached\r\n");
  EXPECT_NE(ReadFile(dir.File("job1/0.hdf")).find(",a.txt\r\n"), std::string::npos);

  std::string plain = dir.File("plain.eml");
  WriteFile(plain, "Subject: none\n\nno structure\n");
  run = Capture("mime " + plain + " " + dir.File("job2"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFile(dir.File("job2/0.bdy")), "Subject: none\n\nno structure\n");
}

TEST(Vtcapture, TreeUuAndFailures) {
  TempDir dir;
  std::string raw = dir.File("m.eml");
  WriteFile(raw, "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nx\n--b--\n");
  ToolRun run = Capture("tree " + raw);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("multipart/mixed"), std::string::npos);
  EXPECT_NE(run.output.find("\n  text/plain"), std::string::npos);

  run = Capture("uu " + testing::GmimeData("photo.uu") + " " + dir.File("job"));
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(ReadFile(dir.File("job/0.hdf")).find(",photo.jpg\r\n"), std::string::npos);

  EXPECT_EQ(Capture("tree " + dir.File("missing")).status, 1);
  EXPECT_EQ(Capture("uu " + dir.File("missing") + " " + dir.File("job")).status, 1);
  EXPECT_EQ(Capture("frobnicate").status, 2);
  EXPECT_EQ(Capture("--help").status, 0);
}

}  // namespace
}  // namespace mime
