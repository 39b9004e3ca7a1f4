// notes_runtime.h - runtime start, threads, status texts, notes.ini, memory and time.
//
// What it is for: process and thread initialisation of the Notes runtime, the message text
// of a status, the notes.ini variables of the machine root (<root>/domino/notes.ini), memory
// blocks handed to callers (formula results, body items) and TIMEDATE handling.
// Ownership: a DHANDLE from OSMemAlloc or returned by a call belongs to the caller, who frees
// it with OSMemFree. Pointers from OSLockObject stay valid until the handle is freed.
// Locks: one process-wide handle table lock, held only inside a call. Thread rule: in checked
// builds (VT_CHECKED) every call from a thread that neither ran NotesInit/NotesInitExtended
// nor NotesInitThread fails with ERR_NOT_INITIALIZED ("no value" for calls without a status).
#pragma once

#include "platform/notes/notes_types.h"

// Runtime. NotesInitExtended reads VT_SYSROOT and the root's notes.ini; it fails with
// ERR_NO_ROOT when the root is unset or missing. The initialising thread counts as
// initialised until NotesTerm, which also calls the term hooks of loaded hook libraries.
[[nodiscard]] STATUS NotesInitExtended(int argc, char** argv);
[[nodiscard]] STATUS NotesInit();
void NotesTerm();
// Per worker thread, counted: each NotesInitThread needs one NotesTermThread.
[[nodiscard]] STATUS NotesInitThread();
void NotesTermThread();

// Status text of (code & ERR_MASK) into buffer (NUL-terminated, cut to buffer_len - 1);
// returns the text length, 0 when no text exists. module is ignored (pass NULLHANDLE).
// ERR_FORMULA_SYNTAX gives the calling thread's last compile error, with its position.
WORD OSLoadString(DHANDLE module, STATUS code, char* buffer, WORD buffer_len);

// notes.ini of the root, [Notes] section, names without case. The string read returns TRUE
// when the variable exists and copies at most max_len - 1 bytes of it.
BOOL OSGetEnvironmentString(const char* name, char* value, WORD max_len);
long OSGetEnvironmentLong(const char* name);  // 0 when unset or not a number
void OSSetEnvironmentVariable(const char* name, const char* value);  // null/"" value removes
void OSSetEnvironmentInt(const char* name, int value);
// The data directory (notes.ini Directory, default <root>/domino/data) and program directory
// (NotesProgram, default <root>/domino), without a trailing separator. Return the length.
WORD OSGetDataDirectory(char* path_r);        // MAXPATH bytes
WORD OSGetExecutableDirectory(char* path_r);  // MAXPATH bytes
// The server name of this machine (notes.ini ServerName, default "CN=Server/O=Example").
WORD OSGetServerName(char* name_r, WORD max_len);
// Network path "server!!file" (only "file" when server is empty); port is ignored.
[[nodiscard]] STATUS OSPathNetConstruct(const char* port, const char* server,
                                        const char* file, char* path_r /* MAXPATH */);
[[nodiscard]] STATUS OSPathNetParse(const char* path, char* port_r, char* server_r,
                                    char* file_r);  // each MAXPATH, any may be null

// Memory blocks.
inline constexpr WORD MEM_GROWABLE = 0x0080;
[[nodiscard]] STATUS OSMemAlloc(WORD block_type, DWORD size, DHANDLE* handle_r);
void* OSLockObject(DHANDLE handle);  // null for an unknown handle
BOOL OSUnlockObject(DHANDLE handle);
[[nodiscard]] STATUS OSMemFree(DHANDLE handle);
DWORD OSMemGetSize(DHANDLE handle);
// Item value blocks (from NSFItemInfo): the value with its leading type word.
void* OSLockBlockPointer(BLOCKID block);
void OSUnlockBlockPointer(BLOCKID block);
#define OSLockBlock(type, bid) ((type*)OSLockBlockPointer(bid))
#define OSUnlockBlock(bid) OSUnlockBlockPointer(bid)

// Time. A TIMEDATE counts hundredths of seconds since 1970-01-01 UTC.
void OSCurrentTIMEDATE(TIMEDATE* now_r);
BOOL TimeDateEqual(const TIMEDATE* a, const TIMEDATE* b);
int TimeDateCompare(const TIMEDATE* a, const TIMEDATE* b);
// The local time as "MM/DD/YYYY HH:MM:SS AM" (12-hour clock). Formats may be null.
[[nodiscard]] STATUS ConvertTIMEDATEToText(const void* intl_format, const void* text_format,
                                           const TIMEDATE* time, char* buffer_r,
                                           WORD buffer_len, WORD* text_len_r);
// Reads the form written above, or "YYYY-MM-DD[ HH:MM[:SS]]" in local time.
[[nodiscard]] STATUS ConvertTextToTIMEDATE(const void* intl_format, const void* text_format,
                                           char** text_ptr, WORD max_len, TIMEDATE* time_r);
// A number in its shortest general form ("42", "3.5", "1e+20"). Formats may be null.
[[nodiscard]] STATUS ConvertFLOATToText(const void* intl_format, const void* number_format,
                                        const NUMBER* number, char* buffer_r, WORD buffer_len,
                                        WORD* text_len_r);
// Stand-in conversions between TIMEDATE and Unix time (seconds), for tools and tests.
TIMEDATE VtTimeDateFromUnix(long long seconds);
long long VtTimeDateToUnix(const TIMEDATE& time);

void OSPreemptOccasionally();
