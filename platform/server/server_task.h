// server_task.h - what every server task process shares: the root option, Notes start-up
// with the hook libraries, the stop request and the console log.
//
// What it is for: nrouter and nsmtp start the same way. StartServerTask takes "--root DIR"
// (else VT_SYSROOT), initialises the Notes runtime, loads the hook libraries named in
// notes.ini (NSF_HOOKS) so that every note the task opens, writes or deletes passes through
// them, and turns SIGTERM and SIGINT into a stop request that the task's loops poll.
// EndServerTask runs NotesTerm, which calls the libraries' term hooks.
// Ownership: process-wide state only.
// Locks: the log serialises its lines with one mutex; the stop flag is atomic.
#pragma once

#include <string>

#include "platform/notes/notes.h"

namespace vtserver {

// Parses "--root DIR" out of argv (other arguments are left to the caller), sets VT_SYSROOT
// for this process and its children, initialises Notes and loads the hook libraries. Returns
// the Notes status of the initialisation; a hook library that fails to load is logged and
// the task runs on without it. nserver itself passes load_hooks false: it writes no notes.
[[nodiscard]] STATUS StartServerTask(const char* task_name, int argc, char** argv,
                                     bool load_hooks = true);
void EndServerTask();

[[nodiscard]] bool StopRequested();
void RequestStop();
// Sleeps up to milliseconds; returns true when a stop was requested.
bool SleepUnlessStopped(int milliseconds);

// Writes "<time> <task>: text" to standard output and appends it to <root>/domino/console.log.
void TaskLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The message text of a Notes status ("... (status 0x103)").
[[nodiscard]] std::string StatusText(STATUS status);

// notes.ini number with a default for an unset, non-numeric or out-of-range value.
[[nodiscard]] long EnvironmentNumber(const char* name, long default_value, long minimum,
                                     long maximum);
// The data directory of the running task.
[[nodiscard]] std::string DataDirectory();

}  // namespace vtserver
