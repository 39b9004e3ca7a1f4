// launch.h - LaunchProgram: starting another of the product's programs from a command line.
//
// What it is for: the schedule runner starts the database scanner with it, and the
// configuration console starts the engine, a daemon, once after setup (LaunchDaemon); both
// link this unit (library vt_launch).
//
// Ownership: the process and thread handles are closed before LaunchProgram returns; the
// started program runs on by itself. Locks: none.
#pragma once

#include <functional>
#include <string_view>

#include "platform/win32/windows.h"

namespace vtrunner {

enum class LaunchWait {
  kNoWait = 0,    // the runner: start and return at once
  kUntilEnd = 1,  // the console: poll every 100 ms until the program has ended
};

// Starts the command line (program and arguments, as CreateProcess reads them) with the
// default window state, no inherited handles and the caller's environment. The working
// directory is the directory of the command's program when that exists as a directory: its
// first blank-separated word, or the quoted path it begins with. Before starting, and always
// when the caller waits, the started program is let take the foreground. Returns 0 or the
// system error code of the creation; `exit_code_r` (may be null) gets the exit code, 259
// (STILL_ACTIVE) while the program runs.
[[nodiscard]] DWORD LaunchProgram(std::string_view command_line, LaunchWait wait,
                                  DWORD* exit_code_r = nullptr);

// How a daemon's start went.
struct DaemonStart {
  DWORD error = 0;                  // 0, or the system error code of the creation
  bool ready = false;               // `ready` held within the time allowed
  DWORD exit_code = STILL_ACTIVE;   // the program's exit code when it ended already
};

// Starts a program that runs on by itself (an engine): detached from the caller's console
// (its standard streams go nowhere, it leads a session of its own), in the directory found as
// for LaunchProgram. Then waits, polling every 100 ms, at most `ready_ms` for `ready` to hold
// (say, the daemon's lock file taken); it stops waiting early when the program ended.
[[nodiscard]] DaemonStart LaunchDaemon(std::string_view command_line,
                                       const std::function<bool()>& ready, DWORD ready_ms);

}  // namespace vtrunner
