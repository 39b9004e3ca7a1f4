// launch_test.cpp - LaunchProgram starting a real program.
#include "vtrunner/launch.h"

#include <gtest/gtest.h>
#include <signal.h>
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

  // A quoted program path starts in its directory too, blanks and all.
  std::filesystem::create_directories(root.Path("sp ace"));
  std::filesystem::copy_file(program, root.Path("sp ace/vtsweep"));
  ASSERT_EQ(LaunchProgram("\"" + root.Path("sp ace/vtsweep.exe") + "\" 3", LaunchWait::kUntilEnd,
                          &exit_code),
            0u);
  EXPECT_EQ(exit_code, 3u);
  EXPECT_EQ(Read(root.Path("sp ace/args.txt")), "3|");
  EXPECT_EQ(std::filesystem::canonical(Read(root.Path("sp ace/cwd.txt"))),
            std::filesystem::canonical(root.Path("sp ace")));
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

TEST(LaunchDaemon, RunsDetachedAndIsWaitedForOnlyUntilReadyOrEnded) {
  foundation::testing::TestRoot root;
  // The daemon says where its standard error goes and which session it leads, then stays.
  std::string daemon = root.Write("domino/daemon",
                                  "#!/bin/sh\n"
                                  "here=$(dirname \"$0\")\n"
                                  "readlink /proc/$$/fd/2 > \"$here/out.tmp\"\n"
                                  "cut -d' ' -f6 /proc/$$/stat > \"$here/sid.tmp\"\n"
                                  "echo $$ > \"$here/pid.tmp\"\n"
                                  "for f in out sid pid; do mv \"$here/$f.tmp\" \"$here/$f.txt\"; done\n"
                                  "exec sleep 30\n");
  chmod(daemon.c_str(), 0755);
  const std::string ready_file = root.Path("domino/pid.txt");
  DaemonStart start = LaunchDaemon(
      daemon, [&ready_file] { return std::filesystem::exists(ready_file); }, 20000);
  ASSERT_EQ(start.error, 0u);
  EXPECT_TRUE(start.ready);
  EXPECT_EQ(start.exit_code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(Read(root.Path("domino/out.txt")), "/dev/null");
  EXPECT_EQ(Read(root.Path("domino/sid.txt")), Read(ready_file));
  (void)::kill(std::stoi(Read(ready_file)), SIGTERM);

  // A program that ends at once is not waited for to the end of the time allowed.
  std::string quitter = root.Write("domino/quitter", "#!/bin/sh\nexit 3\n");
  chmod(quitter.c_str(), 0755);
  const DWORD began = GetTickCount();
  start = LaunchDaemon(quitter, [] { return false; }, 60000);
  EXPECT_EQ(start.error, 0u);
  EXPECT_FALSE(start.ready);
  EXPECT_EQ(start.exit_code, 3u);
  EXPECT_LT(GetTickCount() - began, 30000u);

  // One that neither ends nor becomes ready is given up on after the time allowed.
  std::string sleeper = root.Write("domino/sleeper", "#!/bin/sh\nexec sleep 2\n");
  chmod(sleeper.c_str(), 0755);
  start = LaunchDaemon(sleeper, [] { return false; }, 200);
  EXPECT_FALSE(start.ready);
  EXPECT_EQ(start.exit_code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(LaunchDaemon(root.Path("domino/missing"), {}, 200).error,
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace vtrunner
