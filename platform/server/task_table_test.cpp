// task_table_test.cpp - fault recovery of the server's tasks, with small shell programs in
// the tasks' place.
#include "platform/server/task_table.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace vtserver {
namespace {

class TaskTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vt_task_table_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  void Program(const std::string& name, const std::string& script) {
    std::string path = directory_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
    ::chmod(path.c_str(), 0755);
  }

  // Calls Reap every 10 ms for milliseconds.
  static void ReapFor(TaskTable& table, int milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
      table.Reap();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  int Lines(const std::string& text) const {
    return static_cast<int>(std::count_if(log_.begin(), log_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  }

  TaskLogFn Log() {
    return [this](const std::string& line) { log_.push_back(line); };
  }

  std::string directory_;
  std::vector<std::string> log_;
};

TEST_F(TaskTableTest, DeadTaskIsRestartedWithAGrowingDelayUpToTheHourlyLimit) {
  Program("crasher", "exit 3");
  RestartPolicy policy{100, 300, 3};
  TaskTable table(Log(), policy);
  ASSERT_TRUE(table.Start("crasher", {directory_}, directory_));
  ReapFor(table, 1500);
  EXPECT_EQ(Lines("restarted (process"), 3);
  // 100 ms, then twice as long, then capped at the longest delay.
  std::vector<std::string> delays;
  for (const std::string& line : log_) {
    size_t at = line.find("it is restarted in ");
    if (at != std::string::npos) delays.push_back(line.substr(at + 19));
  }
  EXPECT_EQ(delays, (std::vector<std::string>{"0.1 seconds", "0.2 seconds", "0.3 seconds"}));
  EXPECT_EQ(Lines("ended by itself with exit code 3"), 4);
  EXPECT_EQ(Lines("restarted 3 times within the hour and is not restarted again"), 1);
  EXPECT_EQ(table.LiveCount(), 0);
  EXPECT_FALSE(table.Tasks()[0].restart_pending);
}

TEST_F(TaskTableTest, KilledTaskIsRestartedAndACleanlyEndedOneIsNot) {
  Program("worker", "exec sleep 30");
  Program("oneshot", "exit 0");
  TaskTable table(Log(), RestartPolicy{50, 1000, 10});
  ASSERT_TRUE(table.Start("worker", {directory_}, directory_));
  ASSERT_TRUE(table.Start("oneshot", {directory_}, directory_));
  pid_t first = table.Tasks()[0].pid;
  ASSERT_EQ(::kill(first, SIGKILL), 0);
  ReapFor(table, 400);
  const Task& worker = table.Tasks()[0];
  EXPECT_EQ(worker.exit_code, 128 + SIGKILL);
  EXPECT_GT(worker.pid, 0);
  EXPECT_NE(worker.pid, first);
  EXPECT_EQ(::kill(worker.pid, 0), 0);
  EXPECT_EQ(table.Tasks()[1].pid, -1);  // exit code 0: ended on purpose
  EXPECT_EQ(Lines("exit code 0; it is not restarted"), 1);
  EXPECT_EQ(Lines("Task worker restarted (process"), 1);
}

TEST_F(TaskTableTest, TasksStoppedByTheServerAreNotRestarted) {
  Program("worker", "exec sleep 30");
  TaskTable table(Log(), RestartPolicy{300, 1000, 10});
  ASSERT_TRUE(table.Start("worker", {directory_}, directory_));
  ASSERT_TRUE(table.Start("worker", {directory_}, directory_));
  // One dies and the server stops before its restart is due: the restart never comes.
  ASSERT_EQ(::kill(table.Tasks()[0].pid, SIGKILL), 0);
  ReapFor(table, 100);
  EXPECT_TRUE(table.Tasks()[0].restart_pending);
  table.StopAll(2000);
  ReapFor(table, 500);
  EXPECT_EQ(table.LiveCount(), 0);
  EXPECT_EQ(Lines("restarted (process"), 0);
  EXPECT_EQ(Lines("stopped (exit code"), 1);
}

}  // namespace
}  // namespace vtserver
