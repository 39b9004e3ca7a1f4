// notes_addin.h - server add-in task services: status lines, console lines, the idle test
// and the minute test.
//
// What it is for: the services a server add-in task (vtrunner) uses. Console lines go to
// standard output and are appended to <root>/domino/console.log; the task's status text is
// kept in <root>/domino/tasks/<pid>.status for the server to show.
// The idle test turns TRUE once the task was asked to stop: SIGTERM or SIGINT (the handler
// is installed by AddInQueryDefaults), or VtAddInRequestStop from a test.
// The clock of the elapsed-time tests runs VtAddInSetClockScale times faster (also set from
// the environment variable VT_ADDIN_CLOCK_SCALE at the first call).
// Ownership: status line handles belong to the runtime; AddInDeleteStatusLine ends one.
// Locks: one lock for the task state, held only inside a call.
#pragma once

#include "platform/notes/notes_types.h"

void AddInQueryDefaults(DHANDLE* module_r, DHANDLE* status_line_r);
void AddInDeleteStatusLine(DHANDLE status_line);
DHANDLE AddInCreateStatusLine(const char* task_name);
void AddInSetDefaults(DHANDLE module, DHANDLE status_line);
void AddInSetStatusText(const char* text);
void AddInSetStatusLine(DHANDLE status_line, const char* text);
// Writes a console line: the printf-style text; a non-zero status adds its message text.
// The status is passed as a DWORD: a WORD before "..." would be promoted, which va_start
// does not allow.
void AddInLogMessageText(const char* format, DWORD status, ...);
void AddInLogErrorText(const char* format, DWORD status, ...);
BOOL AddInIdle();
// Sleeps up to delay_ms (scaled clock) unless a stop is requested; TRUE when stopping.
BOOL AddInIdleDelay(DWORD delay_ms);
// TRUE once the given time has passed since the last TRUE result (or the first call).
BOOL AddInMinutesHaveElapsed(WORD minutes);
BOOL AddInSecondsHaveElapsed(WORD seconds);

void VtAddInRequestStop();
void VtAddInSetClockScale(double factor);
// The current default status line's text, for tests.
WORD VtAddInStatusText(char* text_r, WORD max_len);
