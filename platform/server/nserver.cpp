// NAME
//   nserver - the mail server: runs and supervises the server tasks
//
// SYNOPSIS
//   nserver [--root DIR]
//
// DESCRIPTION
//   Starts the server's tasks, each as a process of its own: the router nrouter, the SMTP and
//   pickup task nsmtp, and the add-in tasks named in notes.ini ServerTasks (vtrunner, for
//   example). Each task loads the hook libraries itself when it starts. A task that dies (a
//   signal or a non-zero exit code) is started again after a delay that doubles with each
//   restart of it within the hour, up to a limit of restarts per hour; each death and each
//   restart is said on the console and in the log. A task that ends with exit code 0 is
//   logged and not restarted, nor is a task the server stops itself. The server stops every
//   task cleanly (SIGTERM, then SIGKILL after 15 seconds) and ends when it receives SIGTERM or
//   SIGINT, or when the console (standard input) gives the line "quit" or "exit". Further
//   console commands: "show tasks", "help". Without a console (standard input at its end)
//   the server runs until it is signalled. Tasks inherit the root (VT_SYSROOT) and find
//   VT_SERVER_TASK=1 in their environment.
//
// FILES
//   <root>/domino/notes.ini     settings (below)
//   <root>/domino/              the program directory where task programs are looked up
//                               first; then the directory of nserver itself
//   <root>/domino/data/         the working directory of every task
//   <root>/domino/console.log   the log, shared by the server and its tasks
//
// CONFIGURATION (notes.ini)
//   ServerTasks   comma-separated add-in task programs ("Router" and "SMTP" name the
//                 built-in tasks, which always run)
//   NotesProgram  the program directory (default <root>/domino)
//   Directory     the data directory (default <root>/domino/data)
//   TaskRestartDelayMs     delay before the first restart of a dead task (default 1000)
//   TaskRestartMaxDelayMs  longest delay, however often it died (default 60000)
//   TaskRestartsPerHour    restarts of one task within an hour (default 10; 0: none)
//
// DIAGNOSTICS
//   Log lines on standard output and in console.log, among them "Task NAME (process N) ended
//   by itself with exit code C; it is restarted in S seconds", "Task NAME restarted (process
//   N)" and, past the hourly limit, "... it was restarted K times within the hour and is not
//   restarted again". Exit status 0 after a clean stop, 1 when the root is missing or the
//   router cannot be started at all.
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/server/server_task.h"
#include "platform/server/task_table.h"

namespace {

using vtserver::TaskLog;

constexpr int kStopTimeoutMs = 15000;
constexpr size_t kMaxConsoleLine = 256;

std::string OwnDirectory() {
  char path[PATH_MAX] = "";
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  return std::filesystem::path(std::string(path, static_cast<size_t>(length)))
      .parent_path()
      .string();
}

// Reads the console a line at a time without blocking the supervision loop. Returns false
// once the console is gone.
struct Console {
  bool open = true;
  std::string pending;

  // One pending command line, or an empty string.
  std::string Poll(int timeout_ms) {
    if (std::string line = TakeLine(); !line.empty()) return line;
    if (!open) {
      (void)vtserver::SleepUnlessStopped(timeout_ms);
      return "";
    }
    pollfd poll_fd = {STDIN_FILENO, POLLIN, 0};
    if (::poll(&poll_fd, 1, timeout_ms) <= 0) return "";
    char buffer[512];
    ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (count <= 0) {
      open = false;
      return "";
    }
    pending.append(buffer, static_cast<size_t>(count));
    return TakeLine();
  }

  // The first complete line of pending input, trimmed; "" when there is none.
  std::string TakeLine() {
    size_t lf = pending.find('\n');
    if (lf == std::string::npos) {
      if (pending.size() > kMaxConsoleLine) pending.clear();  // not a command: dropped
      return "";
    }
    std::string line = pending.substr(0, lf);
    pending.erase(0, lf + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    while (!line.empty() && line.front() == ' ') line.erase(0, 1);
    return line;
  }
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: nserver [--root DIR]\n");
      return 0;
    }
  }
  // The server itself loads no hook library: it writes no notes. Its tasks load them.
  STATUS status = vtserver::StartServerTask("Server", argc, argv, false);
  if (status != NOERROR) {
    std::fprintf(stderr, "nserver: the Notes runtime did not start (%s); is the root set?\n",
                 status == ERR_NO_ROOT ? "no root" : "error");
    return 1;
  }
  char program_directory[MAXPATH] = "";
  OSGetExecutableDirectory(program_directory);
  std::string data_directory = vtserver::DataDirectory();
  char server_tasks[MAXENVVALUE] = "";
  (void)OSGetEnvironmentString("ServerTasks", server_tasks, sizeof server_tasks);
  char server_name[MAXUSERNAME] = "";
  OSGetServerName(server_name, sizeof server_name);
  TaskLog("Server %s starting", server_name);

  // Tells every task it starts that it runs as a server task: a runtime that loads hook
  // libraries on its own at start-up can go by it (tools and other programs load none).
  setenv("VT_SERVER_TASK", "1", 1);
  vtserver::RestartPolicy restart;
  restart.initial_delay_ms =
      static_cast<int>(vtserver::EnvironmentNumber("TaskRestartDelayMs", 1000, 0, 3600000));
  restart.max_delay_ms = std::max(
      restart.initial_delay_ms,
      static_cast<int>(vtserver::EnvironmentNumber("TaskRestartMaxDelayMs", 60000, 0, 3600000)));
  restart.max_per_hour =
      static_cast<int>(vtserver::EnvironmentNumber("TaskRestartsPerHour", 10, 0, 1000));
  vtserver::TaskTable tasks([](const std::string& line) { TaskLog("%s", line.c_str()); },
                            restart);
  std::vector<std::string> directories = {program_directory, OwnDirectory()};
  bool router_started = false;
  for (const std::string& program : vtserver::TaskPrograms(server_tasks)) {
    bool started = tasks.Start(program, directories, data_directory);
    if (program == "nrouter") router_started = started;
  }
  if (!router_started) {
    TaskLog("The router could not be started; the server stops");
    tasks.StopAll(kStopTimeoutMs);
    vtserver::EndServerTask();
    return 1;
  }
  TaskLog("Server started; type \"quit\" to stop it");

  Console console;
  while (!vtserver::StopRequested()) {
    std::string command = console.Poll(200);
    tasks.Reap();
    if (command.empty()) continue;
    if (command == "quit" || command == "exit" || command == "q") {
      TaskLog("Console asked the server to stop");
      break;
    }
    if (command == "show tasks") {
      for (const vtserver::Task& task : tasks.Tasks()) {
        if (task.pid > 0) {
          TaskLog("  %-12s running (process %d)", task.name.c_str(), static_cast<int>(task.pid));
        } else if (task.restart_pending) {
          TaskLog("  %-12s waiting to be restarted (exit code %d)", task.name.c_str(),
                  task.exit_code);
        } else {
          TaskLog("  %-12s ended (exit code %d)", task.name.c_str(), task.exit_code);
        }
      }
    } else if (command == "help") {
      TaskLog("Commands: show tasks, quit, exit, help");
    } else {
      TaskLog("Unknown command: %.80s", command.c_str());
    }
  }
  TaskLog("Server stopping");
  tasks.StopAll(kStopTimeoutMs);
  TaskLog("Server stopped");
  vtserver::EndServerTask();
  return 0;
}
