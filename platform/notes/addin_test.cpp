// addin_test.cpp - add-in services: the status line a task shows, the minute test on a faster
// clock, and the idle test turning once a stop is asked for.
#include <thread>

#include "platform/notes/notes_test_support.h"

namespace {

class AddInTest : public NotesRootTest {};

TEST_F(AddInTest, StatusLineTextIsKeptForTheServer) {
  DHANDLE module = NULLHANDLE;
  DHANDLE old_line = NULLHANDLE;
  AddInQueryDefaults(&module, &old_line);
  AddInDeleteStatusLine(old_line);
  DHANDLE line = AddInCreateStatusLine("Vantrel For Lotus Notes");
  AddInSetDefaults(module, line);
  AddInSetStatusText("Idle");
  char text[64];
  VtAddInStatusText(text, sizeof text);
  EXPECT_STREQ(text, "Idle");
  std::string status_file = ReadFile(root_ + "/domino/tasks/" + std::to_string(::getpid()) +
                                     ".status");
  EXPECT_EQ(status_file, "Vantrel For Lotus Notes\nIdle\n");
  AddInLogMessageText("Vantrel for Lotus Notes: %s", NOERROR, "Initializing...");
  EXPECT_NE(ReadFile(root_ + "/domino/console.log").find("Vantrel for Lotus Notes: Initializing..."),
            std::string::npos);
}

TEST_F(AddInTest, MinuteTestRunsOnTheScaledClockAndStopEndsTheIdleLoop) {
  VtAddInSetClockScale(6000.0);  // a minute in 10 ms
  EXPECT_FALSE(AddInMinutesHaveElapsed(1));  // the first call starts the count
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(AddInMinutesHaveElapsed(1));
  EXPECT_FALSE(AddInMinutesHaveElapsed(1));
  VtAddInSetClockScale(1.0);
  EXPECT_FALSE(AddInMinutesHaveElapsed(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(AddInMinutesHaveElapsed(1));

  EXPECT_FALSE(AddInIdle());
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    VtAddInRequestStop();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(AddInIdleDelay(60000));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(AddInIdle());
}

}  // namespace
