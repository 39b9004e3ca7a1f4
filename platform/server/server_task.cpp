// server_task.cpp - task start-up, stop requests and the console log.
#include "platform/server/server_task.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/win32/machine.h"

namespace vtserver {
namespace {

std::atomic<bool> g_stop{false};
std::string g_task_name = "server";
std::mutex g_log_mutex;

extern "C" void OnStopSignal(int) { g_stop.store(true); }

}  // namespace

STATUS StartServerTask(const char* task_name, int argc, char** argv, bool load_hooks) {
  g_task_name = task_name;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string_view(argv[i]) == "--root") setenv(vtplatform::kRootVariable, argv[i + 1], 1);
  }
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the task

  STATUS status = NotesInitExtended(argc, argv);
  if (status != NOERROR || !load_hooks) return status;
  STATUS hooks = VtLoadHookLibraries();
  if (hooks != NOERROR) {
    char names[MAXENVVALUE] = "";
    (void)OSGetEnvironmentString("NSF_HOOKS", names, sizeof names);
    TaskLog("Unable to load every hook library of NSF_HOOKS (%s): %s", names,
            StatusText(hooks).c_str());
  }
  return NOERROR;
}

void EndServerTask() { NotesTerm(); }

bool StopRequested() { return g_stop.load(); }
void RequestStop() { g_stop.store(true); }

bool SleepUnlessStopped(int milliseconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!g_stop.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= until) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        until - now, std::chrono::milliseconds(50)));
  }
  return true;
}

void TaskLog(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);  // cut at the buffer's end
  va_end(args);
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%m/%d/%Y %H:%M:%S", &local);
  std::string line = std::string(stamp) + " " + g_task_name + ": " + text + "\n";

  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  std::string root = vtplatform::SystemRoot();
  if (root.empty()) return;
  std::string path = root + "/domino/console.log";
  // One write per line with O_APPEND: lines of several tasks never interleave.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

std::string StatusText(STATUS status) {
  char text[MAXSPRINTF] = "";
  (void)OSLoadString(NULLHANDLE, status, text, sizeof text);
  char code[32];
  std::snprintf(code, sizeof code, "status %u", static_cast<unsigned>(ERR(status)));
  return text[0] == '\0' ? std::string(code) : std::string(text) + " (" + code + ")";
}

long EnvironmentNumber(const char* name, long default_value, long minimum, long maximum) {
  char value[MAXENVVALUE] = "";
  if (!OSGetEnvironmentString(name, value, sizeof value) || value[0] == '\0') {
    return default_value;
  }
  char* end = nullptr;
  long number = std::strtol(value, &end, 10);
  if (end == value || number < minimum || number > maximum) return default_value;
  return number;
}

std::string DataDirectory() {
  char path[MAXPATH] = "";
  OSGetDataDirectory(path);
  return path;
}

}  // namespace vtserver
