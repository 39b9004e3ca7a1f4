// addin.cpp - server add-in task services: status lines, console lines, idle and minute tests.
//
// The elapsed-time tests read a monotonic clock multiplied by the clock scale, so a test can
// run a task's one-minute loop in a fraction of a second without touching the task's code.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "platform/notes/notes_internal.h"

namespace notes_internal {
namespace {

struct AddInState {
  std::mutex mutex;
  std::map<DHANDLE, std::string> status_lines;  // handle -> task name
  DHANDLE next_line = 0x7000;
  DHANDLE default_line = NULLHANDLE;
  std::string status_text;
  bool scale_read = false;
  double clock_scale = 1.0;
  bool minute_started = false;
  double minute_mark_ms = 0;
  bool second_started = false;
  double second_mark_ms = 0;
};

AddInState& State() {
  static AddInState* state = new AddInState;  // lives past static destructors
  return *state;
}

std::atomic<bool> g_stop_requested{false};

void OnStopSignal(int) { g_stop_requested.store(true); }

double ScaleLocked(AddInState& state) {
  if (!state.scale_read) {
    state.scale_read = true;
    if (const char* text = std::getenv("VT_ADDIN_CLOCK_SCALE")) {
      double scale = std::atof(text);
      if (scale > 0) state.clock_scale = scale;
    }
  }
  return state.clock_scale;
}

// Task time in milliseconds: real time multiplied by the clock scale.
double TaskNowMsLocked(AddInState& state) {
  using namespace std::chrono;
  double real_ms =
      duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
  return real_ms * ScaleLocked(state);
}

void WriteStatusFile(const std::string& task, const std::string& text) {
  std::string root = RootDirectory();
  if (root.empty()) return;
  std::string dir = root + "/domino/tasks";
  ::mkdir(dir.c_str(), 0755);
  std::string path = dir + "/" + std::to_string(::getpid()) + ".status";
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << task << "\n" << text << "\n";
  }
  ::rename(temp.c_str(), path.c_str());
}

void ConsoleLine(const char* format, DWORD status, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format != nullptr ? format : "", args);
  std::string line = text;
  if (ERR(status) != NOERROR) {
    char message[256];
    if (OSLoadString(NULLHANDLE, status, message, sizeof message) > 0) {
      line += line.empty() ? "" : ": ";
      line += message;
    }
  }
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
  std::string root = RootDirectory();
  if (root.empty()) return;
  std::ofstream log(root + "/domino/console.log", std::ios::app);
  log << line << "\n";
}

bool ElapsedLocked(AddInState& state, bool* started, double* mark_ms, double period_ms) {
  double now = TaskNowMsLocked(state);
  if (!*started) {
    *started = true;
    *mark_ms = now;
    return false;
  }
  if (now - *mark_ms < period_ms) return false;
  *mark_ms = now;
  return true;
}

}  // namespace
}  // namespace notes_internal

using namespace notes_internal;

void AddInQueryDefaults(DHANDLE* module_r, DHANDLE* status_line_r) {
  // A task that asks for its defaults is an add-in task: from now on a stop request from the
  // server (SIGTERM) or the console (SIGINT) ends its idle loop instead of killing it.
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (module_r != nullptr) *module_r = NULLHANDLE;
  if (state.default_line == NULLHANDLE) {
    state.default_line = state.next_line++;
    state.status_lines[state.default_line] = "Task";
  }
  if (status_line_r != nullptr) *status_line_r = state.default_line;
}

void AddInDeleteStatusLine(DHANDLE status_line) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.status_lines.erase(status_line);
  if (state.default_line == status_line) state.default_line = NULLHANDLE;
}

DHANDLE AddInCreateStatusLine(const char* task_name) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  DHANDLE line = state.next_line++;
  state.status_lines[line] = task_name != nullptr ? task_name : "";
  return line;
}

void AddInSetDefaults(DHANDLE module, DHANDLE status_line) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.status_lines.count(status_line) != 0) state.default_line = status_line;
}

void AddInSetStatusLine(DHANDLE status_line, const char* text) {
  AddInState& state = State();
  std::string task;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    auto found = state.status_lines.find(status_line);
    if (found == state.status_lines.end()) return;
    task = found->second;
    if (status_line == state.default_line) state.status_text = text != nullptr ? text : "";
  }
  WriteStatusFile(task, text != nullptr ? text : "");
}

void AddInSetStatusText(const char* text) {
  DHANDLE line;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    line = State().default_line;
  }
  AddInSetStatusLine(line, text);
}

void AddInLogMessageText(const char* format, DWORD status, ...) {
  va_list args;
  va_start(args, status);
  ConsoleLine(format, status, args);
  va_end(args);
}

void AddInLogErrorText(const char* format, DWORD status, ...) {
  va_list args;
  va_start(args, status);
  ConsoleLine(format, status, args);
  va_end(args);
}

BOOL AddInIdle() { return g_stop_requested.load() ? TRUE : FALSE; }

BOOL AddInIdleDelay(DWORD delay_ms) {
  double scale;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    scale = ScaleLocked(State());
  }
  // Sleeps in short slices so a stop request is seen promptly.
  auto end = std::chrono::steady_clock::now() +
             std::chrono::microseconds(static_cast<long long>(delay_ms * 1000.0 / scale));
  while (!g_stop_requested.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return AddInIdle();
}

BOOL AddInMinutesHaveElapsed(WORD minutes) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return ElapsedLocked(state, &state.minute_started, &state.minute_mark_ms, minutes * 60000.0)
             ? TRUE
             : FALSE;
}

BOOL AddInSecondsHaveElapsed(WORD seconds) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return ElapsedLocked(state, &state.second_started, &state.second_mark_ms, seconds * 1000.0)
             ? TRUE
             : FALSE;
}

void VtAddInRequestStop() { g_stop_requested.store(true); }

void VtAddInSetClockScale(double factor) {
  AddInState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.scale_read = true;
  if (factor > 0) state.clock_scale = factor;
  // Marks taken on the old scale would be meaningless on the new one.
  state.minute_started = false;
  state.second_started = false;
}

WORD VtAddInStatusText(char* text_r, WORD max_len) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return CopyOut(State().status_text, text_r, max_len);
}
