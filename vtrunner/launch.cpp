// launch.cpp - LaunchProgram.
#include "vtrunner/launch.h"

#include <string>
#include <vector>

#include "foundation/utilities.h"
#include "platform/ui/winuser.h"

namespace vtrunner {
namespace {

constexpr DWORD kPollMs = 100;

// Windows 2000 and Windows 98 keep a started program in the background unless the foreground
// rules are relaxed first; a caller that waits wants the program in front everywhere.
bool RelaxForegroundRules(LaunchWait wait) {
  OSVERSIONINFO version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionEx(&version)) return wait == LaunchWait::kUntilEnd;
  bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  bool windows_2000 = nt && version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
  bool windows_98 = !nt && version.dwMajorVersion == 4 && version.dwMinorVersion == 10;
  if (!windows_2000 && !windows_98 && wait != LaunchWait::kUntilEnd) return false;
  if (nt) {
    (void)SystemParametersInfo(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr,
                               SPIF_UPDATEINIFILE | SPIF_SENDCHANGE);
  }
  (void)AllowSetForegroundWindow(ASFW_ANY);
  return true;
}

// The directory of the command's program, if it is a directory: the first blank-separated
// word, or the text inside the quotes when the command begins with one (a program path with
// blanks keeps its directory that way).
std::string WorkingDirectory(std::string_view command_line) {
  if (command_line.empty()) return {};
  std::string_view program;
  if (command_line.front() == '"') {
    const std::size_t close = command_line.find('"', 1);
    if (close == std::string_view::npos) return {};
    program = command_line.substr(1, close - 1);
  } else {
    program = command_line.substr(0, command_line.find(' '));
  }
  std::string directory, file_name;
  foundation::SplitPath(program, directory, file_name);
  DWORD attributes = GetFileAttributes(directory.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
  return directory;
}

}  // namespace

namespace {

// Creates the process of the command line; its handles are the caller's.
DWORD StartProcess(std::string_view command_line, DWORD flags, PROCESS_INFORMATION* process) {
  std::string directory = WorkingDirectory(command_line);
  // CreateProcess may write into the command line, so it gets a copy of its own.
  std::vector<char> command(command_line.begin(), command_line.end());
  command.push_back('\0');
  STARTUPINFO startup{};
  startup.cb = sizeof startup;
  if (!CreateProcess(nullptr, command.data(), nullptr, nullptr, FALSE, flags, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &startup, process)) {
    DWORD error = GetLastError();
    return error ? error : ERROR_INVALID_FUNCTION;
  }
  return 0;
}

}  // namespace

DWORD LaunchProgram(std::string_view command_line, LaunchWait wait, DWORD* exit_code_r) {
  if (exit_code_r) *exit_code_r = STILL_ACTIVE;
  (void)RelaxForegroundRules(wait);
  PROCESS_INFORMATION process{};
  if (DWORD error = StartProcess(command_line, 0, &process)) return error;
  DWORD exit_code = STILL_ACTIVE;
  if (wait == LaunchWait::kUntilEnd) {
    while (GetExitCodeProcess(process.hProcess, &exit_code) && exit_code == STILL_ACTIVE) {
      Sleep(kPollMs);
    }
  } else {
    (void)GetExitCodeProcess(process.hProcess, &exit_code);
  }
  (void)CloseHandle(process.hThread);
  (void)CloseHandle(process.hProcess);
  if (exit_code_r) *exit_code_r = exit_code;
  return 0;
}

DaemonStart LaunchDaemon(std::string_view command_line, const std::function<bool()>& ready,
                         DWORD ready_ms) {
  DaemonStart start;
  PROCESS_INFORMATION process{};
  start.error = StartProcess(command_line, DETACHED_PROCESS, &process);
  if (start.error != 0) return start;
  const DWORD began = GetTickCount();
  for (;;) {
    if (ready && ready()) {
      start.ready = true;
      break;
    }
    if (!GetExitCodeProcess(process.hProcess, &start.exit_code) ||
        start.exit_code != STILL_ACTIVE || GetTickCount() - began >= ready_ms)
      break;
    Sleep(kPollMs);
  }
  (void)CloseHandle(process.hThread);
  (void)CloseHandle(process.hProcess);
  return start;
}

}  // namespace vtrunner
