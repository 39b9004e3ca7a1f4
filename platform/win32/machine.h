// machine.h - what the Windows stand-in knows that Windows itself does not: the root directory
// that plays the machine, the path separator, and the machine's identity.
//
// What it is for: one directory (VT_SYSROOT) holds everything the system reads or writes
// outside its own spool: the Windows directory with win.ini, registry.db, the temporary
// directory, the Domino and product directories. Tests make a fresh root per case. The
// identity (version, NT or 9x family, Terminal Server, service account, the running program's
// path) is what GetVersionEx, GetUserName and GetModuleFileName(NULL) report; tests set another
// one to walk every branch of the system in one process.
//
// Below the root the stand-in itself keeps registry.db, windows/ (win.ini) and tmp/ (made on
// demand). Named mutexes and events are blocks of shared memory in a private directory in
// /dev/shm that .objects-location names, or files in .objects/ below it where there is no
// /dev/shm (named_objects.h).
// Processes started with CreateProcess run on the same root: their VT_SYSROOT is set to it.
// Every process of the system makes its files and directories with the creation mask 077
// (kCreationMask), so the root's contents are its account's own.
//
// Default identity: Windows 6.1 build 7601, NT family, not a Terminal Server, the account
// "SYSTEM" (the account a Domino server service runs under), and the real path of the running
// program.
//
// Ownership and threads: the root and the identity are process-wide, guarded by one mutex;
// the strings returned are copies. Setting them while other threads make Win32 calls is
// allowed, but a call in flight may see either the old or the new value.
#pragma once

#include <string>

namespace vtplatform {

// Separator of on-disk paths; the system joins paths with it.
inline constexpr char kPathSep = '/';

// The creation mask of every process of the system, set as it starts: what it makes is
// readable and writable by its own account alone.
inline constexpr unsigned kCreationMask = 077;

// Environment variable naming the root.
inline constexpr const char* kRootVariable = "VT_SYSROOT";

// The root directory without a trailing separator: the one set by SetSystemRoot, else
// VT_SYSROOT. When neither is set, returns an empty string and writes one clear line to
// stderr (once per process); every call that needs the root then fails with
// ERROR_PATH_NOT_FOUND.
[[nodiscard]] std::string SystemRoot();

// Overrides VT_SYSROOT for this process (tests); an empty path returns to VT_SYSROOT. Closes
// the registry connection of the previous root.
void SetSystemRoot(const std::string& path);

// Joins the root and a relative path ("windows/win.ini" -> "<root>/windows/win.ini").
[[nodiscard]] std::string RootPath(const std::string& relative);

struct MachineIdentity {
  unsigned major = 6;
  unsigned minor = 1;
  unsigned build = 7601;
  bool nt_family = true;          // false: the 9x family (4.0, 4.10, 4.90)
  bool terminal_server = false;   // VER_SUITE_TERMINAL in the suite mask (NT 5.0 and later)
  std::string account_name = "SYSTEM";
  // The path GetModuleFileName(NULL) reports; empty: the running program's real path. For a
  // hook library this is the server task that loaded it (".../nRouter").
  std::string module_path;
};

[[nodiscard]] MachineIdentity GetMachineIdentity();
void SetMachineIdentity(const MachineIdentity& identity);
void ResetMachineIdentity();

// Maps an errno value to the Win32 error code the stand-in reports for it.
[[nodiscard]] unsigned long Win32ErrorFromErrno(int error);

}  // namespace vtplatform
