// task_table.h - the processes that nserver runs: which, from where, started and stopped.
//
// What it is for: the supervision half of nserver, apart from its console. The router and
// the SMTP task always run; notes.ini ServerTasks adds the add-in tasks (comma-separated
// program names; "Router" and "SMTP" there name the built-in two and are not started twice).
// A task's program is looked up in the program directory, then beside nserver itself. Each
// task runs as a process of its own with the data directory as its working directory and the
// root in VT_SYSROOT. A task that ends by itself is reported and not restarted; stopping
// sends SIGTERM to every task, last started first, and SIGKILL to those that have not ended
// within the stop time-out.
// Ownership: the table owns its child processes: they are stopped when it is destroyed.
// Locks: none; one thread (nserver's main thread) uses the table.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vtserver {

struct Task {
  std::string name;     // as named in notes.ini or the built-in name
  std::string program;  // full path
  pid_t pid = -1;       // -1 once it ended
  int exit_code = 0;    // exit status, or 128 + signal
};

using TaskLogFn = std::function<void(const std::string& line)>;

// The program names to run for a ServerTasks value: nrouter and nsmtp first, then the rest.
[[nodiscard]] std::vector<std::string> TaskPrograms(const std::string& server_tasks);

class TaskTable {
 public:
  explicit TaskTable(TaskLogFn log) : log_(std::move(log)) {}
  TaskTable(const TaskTable&) = delete;
  TaskTable& operator=(const TaskTable&) = delete;
  ~TaskTable() { StopAll(5000); }

  // Starts program_name, found in the first of directories that holds it; false when it is
  // found nowhere or cannot be started.
  bool Start(const std::string& program_name, const std::vector<std::string>& directories,
             const std::string& working_directory);
  // Collects tasks that ended by themselves and reports each once.
  void Reap();
  // SIGTERM to every live task, last started first; SIGKILL after timeout_ms.
  void StopAll(int timeout_ms);

  [[nodiscard]] const std::vector<Task>& Tasks() const { return tasks_; }
  [[nodiscard]] int LiveCount() const;

 private:
  TaskLogFn log_;
  std::vector<Task> tasks_;
};

}  // namespace vtserver
