// console.h - the console's start-up, its log and the settings it writes.
//
// What it is for: vtsetup runs once at installation (setup mode: the wizard) and whenever
// the administrators change (edit mode: the list). Whatever the dialogs chose ends up in
// vantrel.ini and the product's registry key, and the running extension is told to reload.
//
// Ownership: the single-instance mutex and the Notes runtime belong to RunConsole for the
// whole run. Threads: one; the log is opened and closed per line.
#pragma once

#include <string>
#include <string_view>

#include "vtsetup/console/dialogs.h"

namespace vtsetup {

// Exit code of a second instance, or when the single-instance mutex cannot be made.
inline constexpr int kExitAlreadyRunning = -1;

// Log file of the console; until set, "Vtsetup.log" in the working directory.
void SetConsoleLogFile(std::string path);
// Appends "MM/DD/YY HH:MM:SS : text" and CR LF to the log.
void ConsoleLog(std::string_view text);
// Logs the Notes text of a failed call (at most 1023 characters).
void LogNotesFailure(unsigned long status);

// Writes VantrelID into vantrel.ini when the key is absent or empty.
void EnsureInstallationId(const ConsoleState& state);
// The final settings step of both modes: the warning sender (and with write_admin, in setup
// mode, the one administrator and the database the wizard accepted as VTADMINDB) and the
// installation identifier.
void WriteFinalSettings(const ConsoleState& state, bool write_admin);
// The engine program: in the install directory, else in the Notes program directory (where
// an installation puts the server's programs); empty when it is in neither.
[[nodiscard]] std::string FindEngine(const ConsoleState& state);
// After the settings are written and the reload signalled: unless firstime.sem exists in the
// install directory or an engine runs already, starts the engine detached and waits at most
// a few seconds for it to take its lock file; the log says whether it came up.
void StartEngineOnce(const ConsoleState& state);
// Sets the named event "UpdateEvent", on which a running extension reloads its settings.
void SendReloadSignal();

// The whole console: mode from the arguments (any argument after the program is edit mode),
// single instance, Notes runtime, dialogs, settings. Returns the exit code.
[[nodiscard]] int RunConsole(int argc, char** argv, bool edit_mode);

}  // namespace vtsetup
