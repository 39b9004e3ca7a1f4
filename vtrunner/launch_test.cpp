// launch_test.cpp - LaunchProgram starting a real program.
#include "vtrunner/launch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "foundation/test_root.h"

namespace vtrunner {
namespace {

// A program that writes its working directory and arguments into files beside itself and
// ends with the status of its first argument when that is a number.
std::string WriteProgram(const foundation::testing::TestRoot& root, const std::string& name) {
  std::string path = root.Write("domino/" + name,
                                "#!/bin/sh\n"
                                "here=$(dirname \"$0\")\n"
                                "pwd > \"$here/cwd.txt\"\n"
                                "printf '%s|' \"$@\" > \"$here/args.txt\"\n"
                                "case \"$1\" in [0-9]*) exit \"$1\";; esac\n"
                                "exit 0\n");
  chmod(path.c_str(), 0755);
  return path;
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n')) text.pop_back();
  return text;
}

TEST(LaunchProgram, StartsInTheProgramsDirectoryWithTheArgumentsGiven) {
  foundation::testing::TestRoot root;
  std::string program = WriteProgram(root, "vtsweep");
  DWORD exit_code = 0;
  // The runner's command: the program named with .exe, which this platform's programs lack,
  // and the single argument 1 in quotes.
  ASSERT_EQ(LaunchProgram(program + ".exe \"1\"", LaunchWait::kUntilEnd, &exit_code), 0u);
  EXPECT_EQ(exit_code, 1u);
  EXPECT_EQ(Read(root.Path("domino/args.txt")), "1|");
  EXPECT_EQ(std::filesystem::canonical(Read(root.Path("domino/cwd.txt"))),
            std::filesystem::canonical(root.Path("domino")));

  // Twice in a row still passes the one argument.
  ASSERT_EQ(LaunchProgram(program + " \"1\"", LaunchWait::kUntilEnd, &exit_code), 0u);
  EXPECT_EQ(Read(root.Path("domino/args.txt")), "1|");

  // A command that begins with a quote gets no working directory of its own.
  ASSERT_EQ(LaunchProgram("\"" + program + "\" 3", LaunchWait::kUntilEnd, &exit_code), 0u);
  EXPECT_EQ(exit_code, 3u);
  EXPECT_EQ(std::filesystem::canonical(Read(root.Path("domino/cwd.txt"))),
            std::filesystem::current_path());
}

TEST(LaunchProgram, WithoutWaitingOrWithoutAProgram) {
  foundation::testing::TestRoot root;
  std::string program = WriteProgram(root, "slow");
  std::string sleeper = root.Write("domino/sleeper", "#!/bin/sh\nsleep 1\n");
  chmod(sleeper.c_str(), 0755);
  DWORD exit_code = 0;
  ASSERT_EQ(LaunchProgram(sleeper, LaunchWait::kNoWait, &exit_code), 0u);
  EXPECT_EQ(exit_code, static_cast<DWORD>(STILL_ACTIVE));

  EXPECT_EQ(
      LaunchProgram(root.Path("domino/missing.exe") + " \"1\"", LaunchWait::kNoWait, &exit_code),
      static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(LaunchProgram("", LaunchWait::kNoWait, &exit_code), 0u);
}

}  // namespace
}  // namespace vtrunner
