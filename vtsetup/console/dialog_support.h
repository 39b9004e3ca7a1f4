// dialog_support.h - what the console's dialogs share: the open-window list a driving
// script reads, the reading of controls, the mail database test and the ID check.
//
// Ownership: every routine works on the caller's dialog and state; a database opened by the
// mail database test is closed before it returns. Threads: the dialogs' thread, except the
// open-window list, which its own lock guards.
#pragma once

#include <string>

#include "platform/ui/winuser.h"
#include "vtsetup/console/dialogs.h"

namespace vtsetup {

inline constexpr const char* kCaption = "Administrator";
inline constexpr const char* kOpenFailed =
    "Unable to Open the Database\nMore Details see Log Files";

// Runs a modal dialog of the console (its procedure gets `state` as WM_INITDIALOG's
// parameter) and keeps the open-window list right around it.
INT_PTR RunDialog(WORD template_id, HWND owner, DLGPROC procedure, ConsoleState& state);
// Leaves the newest dialog's entry of the open-window list (after its modal loop ended).
void LeaveDialog();
// Keeps the dialog's parameter for its procedure and enters the dialog into the open list.
ConsoleState& Attach(HWND dialog, LPARAM lparam, const char* caption);
// The state Attach kept.
[[nodiscard]] ConsoleState& StateOf(HWND dialog);

// The text of a control, cut to max_chars characters.
[[nodiscard]] std::string ItemText(HWND dialog, int id, std::size_t max_chars);
[[nodiscard]] std::string ListText(HWND dialog, int id, int index);
[[nodiscard]] int ListCount(HWND dialog, int id);
void Enable(HWND dialog, int id, bool enable);
// A message text with the one "%s" replaced by name.
[[nodiscard]] std::string Format(const char* format, const std::string& name);

// True when the database file exists (a relative name is looked for in the data directory).
[[nodiscard]] bool DatabaseExists(const ConsoleState& state, const std::string& name);
enum class MailTest { kMail, kNotMail, kNoClass, kFailed };
// Opens the database and reads its design class. A database that cannot be opened is
// reported in a box; a failing info read (or, with log_close, close) only in the log.
[[nodiscard]] MailTest TestMailDatabase(HWND dialog, const ConsoleState& state,
                                        const std::string& name, bool log_close);
// The file-open dialog of "&Browse": mail databases of the data directory. The chosen path,
// or empty when cancelled.
[[nodiscard]] std::string BrowseDatabase(HWND dialog, const ConsoleState& state);
// The stored lists of databases and IDs are comma-separated: a database path with a comma
// would break the pairing of each administrator with a database. Shows the refusal and
// returns true for such a path.
bool RefuseCommaInPath(HWND dialog, const std::string& name);
// Completes the typed ID; a valid one becomes the administrator. On a refusal the box is
// shown, the last accepted ID goes back into the edit and the edit takes the focus.
bool AcceptAdminId(HWND dialog, int edit, std::size_t max_chars, ConsoleState& state);

}  // namespace vtsetup
