// runner_test.cpp - the runner's minute: the Save request, the arming, the launch.
#include "vtrunner/runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "foundation/config.h"
#include "platform/notes/notes_test_support.h"

namespace vtrunner {
namespace {

class RunnerTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    std::string scanner = root_ + "/domino/vtsweep";
    std::ofstream(scanner)
        << "#!/bin/sh\nprintf '%s|\\n' \"$@\" >> \"$(dirname \"$0\")/launches\"\n";
    chmod(scanner.c_str(), 0755);
    (void)foundation::WriteProductValue(foundation::kProductSubkey, "LotusNotesPath",
                                        root_ + "/domino/");
    (void)foundation::WriteProductValue(foundation::kProductSubkey, "VTDEBUG", "10");
    DBHANDLE db = CreateOpen(kScheduleDatabase);
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    for (auto [name, value] : {std::pair{"Form", "Scheduledfrm"},
                               {"Option", "Enable"},
                               {"rdPeriod", "Daily"},
                               {"Session", "pm"},
                               {"Hour", "2"},
                               {"Minutes", "5"}}) {
      ASSERT_EQ(NSFItemSetText(note, name, value, MAXWORD), NOERROR);
    }
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
    ASSERT_EQ(NSFDbClose(db), NOERROR);
  }

  std::string Launches() { return ReadFile(root_ + "/domino/launches"); }

  // Waits a little for a started scanner to write its line.
  std::string LaunchesAfterStart(size_t lines) {
    for (int n = 0; n < 200; ++n) {
      std::string text = Launches();
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
      Sleep(10);
    }
    return Launches();
  }

  static SYSTEMTIME At(int hour, int minute) {
    SYSTEMTIME time{};
    time.wYear = 2026;
    time.wMonth = 12;
    time.wDay = 8;
    time.wDayOfWeek = 2;
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    return time;
  }
};

TEST_F(RunnerTest, EachSaveArmsOneLaunchWithTheSingleArgument) {
  RunnerState state;
  ReadRunnerSettings(state);
  ASSERT_EQ(state.scanner_command, root_ + "/domino/vtsweep.exe");
  EXPECT_TRUE(state.debug);
  state.log_path = root_ + "/runner.log";  // no vantrel.ini here: keep the log in the root

  // The schedule was not read yet and nothing is armed: the scheduled minute passes.
  OneMinuteJob(state, At(14, 5));
  EXPECT_EQ(Launches(), "");

  // A Save of 1 reads the schedule and arms one launch, at 2:05 pm and not before.
  ASSERT_EQ(foundation::WriteProductValue(foundation::kProductSubkey, "Save", "1"), 0);
  OneMinuteJob(state, At(14, 4));
  EXPECT_TRUE(state.armed);
  EXPECT_EQ(state.schedule.hour, 14);
  std::string save;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "Save", save, "");
  EXPECT_EQ(save, "0");
  OneMinuteJob(state, At(14, 5));
  EXPECT_FALSE(state.armed);
  EXPECT_EQ(LaunchesAfterStart(1), "1|\n");
  OneMinuteJob(state, At(14, 5));  // the same minute again: disarmed
  Sleep(100);
  EXPECT_EQ(Launches(), "1|\n");

  // The next Save arms the next launch, again with the one argument.
  ASSERT_EQ(foundation::WriteProductValue(foundation::kProductSubkey, "Save", "1"), 0);
  OneMinuteJob(state, At(14, 5));
  EXPECT_EQ(LaunchesAfterStart(2), "1|\n1|\n");

  std::string log = ReadFile(state.log_path);
  EXPECT_NE(log.find("System Time = 14:5 \t Database Time = 14:5"), std::string::npos);
  EXPECT_NE(log.find("calling Exe..."), std::string::npos);
}

TEST_F(RunnerTest, AScannerThatCannotStartIsLoggedWhateverTheDebugSetting) {
  (void)foundation::WriteProductValue(foundation::kProductSubkey, "VTDEBUG", "0");
  ::unlink((root_ + "/domino/vtsweep").c_str());
  RunnerState state;
  ReadRunnerSettings(state);
  state.log_path = root_ + "/runner.log";
  ASSERT_EQ(foundation::WriteProductValue(foundation::kProductSubkey, "Save", "1"), 0);
  OneMinuteJob(state, At(14, 5));
  std::string log = ReadFile(state.log_path);
  EXPECT_EQ(log.find("System Time"), std::string::npos);  // the chatty lines stay off
  EXPECT_NE(log.find("Unable to start \"" + root_ + "/domino/vtsweep.exe\" \"1\" Reason above"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace vtrunner
