// task_table.h - the processes that nserver runs: which, from where, started and stopped.
//
// What it is for: the supervision half of nserver, apart from its console. The router and
// the SMTP task always run; notes.ini ServerTasks adds the add-in tasks (comma-separated
// program names; "Router" and "SMTP" there name the built-in two and are not started twice).
// A task's program is looked up in the program directory, then beside nserver itself. Each
// task runs as a process of its own with the data directory as its working directory and the
// root in VT_SYSROOT. Stopping sends SIGTERM to every task, last started first, and SIGKILL
// to those that have not ended within the stop time-out.
//
// Fault recovery: a task that dies (ends on a signal or with a non-zero exit code while the
// server did not ask it to stop) is started again after a short delay, so that a crashed
// router does not leave mail waiting until someone notices. The delay doubles with each
// restart of that task within the last hour, and a task that died more often than the hourly
// limit allows is left ended, with a line saying so: a task that cannot run would otherwise
// be restarted for ever. A task that ends with exit code 0 ended on purpose and is not
// restarted; nor is any task once StopAll has begun.
// Ownership: the table owns its child processes: they are stopped when it is destroyed.
// Locks: none; one thread (nserver's main thread) uses the table.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace vtserver {

using TaskClock = std::chrono::steady_clock;

struct RestartPolicy {
  int initial_delay_ms = 1000;  // the first restart within an hour waits this long
  int max_delay_ms = 60000;     // each further one twice as long as the last, up to this
  int max_per_hour = 10;        // restarts of one task within any hour; 0: never restart
};

struct Task {
  std::string name;               // as named in notes.ini or the built-in name
  std::string program;            // full path
  std::string working_directory;
  pid_t pid = -1;                 // -1 while it is not running
  int exit_code = 0;              // exit status, or 128 + signal
  bool restart_pending = false;   // died; started again at restart_at
  TaskClock::time_point restart_at{};
  std::deque<TaskClock::time_point> restarts;  // within the last hour, oldest first
};

using TaskLogFn = std::function<void(const std::string& line)>;

// The program names to run for a ServerTasks value: nrouter and nsmtp first, then the rest.
[[nodiscard]] std::vector<std::string> TaskPrograms(const std::string& server_tasks);

class TaskTable {
 public:
  explicit TaskTable(TaskLogFn log, RestartPolicy policy = {})
      : log_(std::move(log)), policy_(policy) {}
  TaskTable(const TaskTable&) = delete;
  TaskTable& operator=(const TaskTable&) = delete;
  ~TaskTable() { StopAll(5000); }

  // Starts program_name, found in the first of directories that holds it; false when it is
  // found nowhere or cannot be started.
  bool Start(const std::string& program_name, const std::vector<std::string>& directories,
             const std::string& working_directory);
  // Collects tasks that ended by themselves and reports each once, schedules the restart of
  // those that died, and starts again those whose delay has passed.
  void Reap();
  // SIGTERM to every live task, last started first; SIGKILL after timeout_ms. Pending
  // restarts are dropped, and no task is restarted from then on.
  void StopAll(int timeout_ms);

  [[nodiscard]] const std::vector<Task>& Tasks() const { return tasks_; }
  [[nodiscard]] int LiveCount() const;

 private:
  // fork and exec of task.program; false when it could not be started.
  bool Spawn(Task& task);
  // A task died (exit code already set; ended says how, for the log): schedules its restart
  // or gives it up.
  void ScheduleRestart(Task& task, const std::string& ended, TaskClock::time_point now);

  TaskLogFn log_;
  RestartPolicy policy_;
  bool stopping_ = false;
  std::vector<Task> tasks_;
};

}  // namespace vtserver
