// task_table.cpp - starting, reaping and stopping the server's task processes.
#include "platform/server/task_table.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace vtserver {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

int ExitCode(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

}  // namespace

std::vector<std::string> TaskPrograms(const std::string& server_tasks) {
  std::vector<std::string> programs = {"nrouter", "nsmtp"};
  size_t position = 0;
  while (position <= server_tasks.size()) {
    size_t comma = server_tasks.find(',', position);
    if (comma == std::string::npos) comma = server_tasks.size();
    std::string name = Trim(server_tasks.substr(position, comma - position));
    position = comma + 1;
    std::string lower = Lower(name);
    // A Windows-style program name keeps its meaning: "vtrunner.exe" is vtrunner.
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".exe") == 0) {
      name.resize(name.size() - 4);
      lower.resize(lower.size() - 4);
    }
    if (name.empty() || lower == "router" || lower == "nrouter" || lower == "smtp" ||
        lower == "nsmtp") {
      continue;
    }
    // A task name with a path separator would run a program from outside the server's
    // directories; only plain names are taken.
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
        name == "." || name == "..") {
      continue;
    }
    if (std::find(programs.begin(), programs.end(), name) == programs.end()) {
      programs.push_back(name);
    }
  }
  return programs;
}

bool TaskTable::Start(const std::string& program_name, const std::vector<std::string>& directories,
                      const std::string& working_directory) {
  std::string program;
  for (const std::string& directory : directories) {
    std::string candidate = directory + "/" + program_name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      program = candidate;
      break;
    }
  }
  if (program.empty()) {
    log_("Task " + program_name + " not started: no program of that name was found");
    return false;
  }
  Task task;
  task.name = program_name;
  task.program = program;
  task.working_directory = working_directory;
  if (!Spawn(task)) return false;
  tasks_.push_back(std::move(task));
  log_("Task " + program_name + " started (process " + std::to_string(tasks_.back().pid) + ")");
  return true;
}

bool TaskTable::Spawn(Task& task) {
  pid_t pid = ::fork();
  if (pid < 0) {
    log_("Task " + task.name + " not started: " + std::strerror(errno));
    return false;
  }
  if (pid == 0) {
    // In the child only async-signal-safe calls until exec.
    if (::chdir(task.working_directory.c_str()) != 0) _exit(126);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_IGN);  // a console Ctrl-C reaches nserver, which stops the tasks
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char* const args[] = {const_cast<char*>(task.program.c_str()), nullptr};
    ::execv(task.program.c_str(), args);
    _exit(127);
  }
  task.pid = pid;
  return true;
}

void TaskTable::ScheduleRestart(Task& task, const std::string& ended,
                                TaskClock::time_point now) {
  if (task.exit_code == 0 || stopping_) {
    log_(ended + "; it is not restarted");
    return;
  }
  while (!task.restarts.empty() && now - task.restarts.front() >= std::chrono::hours(1)) {
    task.restarts.pop_front();
  }
  if (task.restarts.size() >= static_cast<size_t>(std::max(policy_.max_per_hour, 0))) {
    log_(ended + "; it was restarted " + std::to_string(task.restarts.size()) +
         " times within the hour and is not restarted again");
    return;
  }
  // Doubling per restart within the hour; the shift is capped long before it could overflow.
  long long delay_ms = static_cast<long long>(std::max(policy_.initial_delay_ms, 0))
                       << std::min<size_t>(task.restarts.size(), 20);
  delay_ms = std::min<long long>(delay_ms, std::max(policy_.max_delay_ms, 0));
  task.restart_pending = true;
  task.restart_at = now + std::chrono::milliseconds(delay_ms);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(delay_ms) / 1000.0);
  log_(ended + "; it is restarted in " + seconds + " seconds");
}

void TaskTable::Reap() {
  TaskClock::time_point now = TaskClock::now();
  for (Task& task : tasks_) {
    if (task.pid > 0) {
      int wait_status = 0;
      if (::waitpid(task.pid, &wait_status, WNOHANG) != task.pid) continue;
      pid_t old_pid = task.pid;
      task.exit_code = ExitCode(wait_status);
      task.pid = -1;
      ScheduleRestart(task,
                      "Task " + task.name + " (process " + std::to_string(old_pid) +
                          ") ended by itself with exit code " + std::to_string(task.exit_code),
                      now);
    } else if (task.restart_pending && !stopping_ && now >= task.restart_at) {
      task.restart_pending = false;
      task.restarts.push_back(now);
      if (Spawn(task)) {
        log_("Task " + task.name + " restarted (process " + std::to_string(task.pid) + ")");
      } else {
        task.exit_code = -1;
        ScheduleRestart(task, "Task " + task.name + " could not be restarted", now);
      }
    }
  }
}

int TaskTable::LiveCount() const {
  return static_cast<int>(
      std::count_if(tasks_.begin(), tasks_.end(), [](const Task& task) { return task.pid > 0; }));
}

void TaskTable::StopAll(int timeout_ms) {
  stopping_ = true;
  Reap();
  for (Task& task : tasks_) task.restart_pending = false;
  for (auto it = tasks_.rbegin(); it != tasks_.rend(); ++it) {
    if (it->pid > 0) {
      log_("Stopping task " + it->name);
      ::kill(it->pid, SIGTERM);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (auto it = tasks_.rbegin(); it != tasks_.rend(); ++it) {
    while (it->pid > 0) {
      int wait_status = 0;
      pid_t done = ::waitpid(it->pid, &wait_status, WNOHANG);
      if (done == it->pid || (done < 0 && errno == ECHILD)) {
        it->exit_code = done == it->pid ? ExitCode(wait_status) : -1;
        log_("Task " + it->name + " stopped (exit code " + std::to_string(it->exit_code) + ")");
        it->pid = -1;
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        log_("Task " + it->name + " did not stop in time and is killed");
        ::kill(it->pid, SIGKILL);
        (void)::waitpid(it->pid, &wait_status, 0);
        it->exit_code = ExitCode(wait_status);
        it->pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

}  // namespace vtserver
