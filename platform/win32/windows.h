// windows.h - the Win32 calls the system makes, carried out on POSIX.
//
// What it is for: system code is written against Win32 (files with share modes, profile files,
// the registry, named mutexes and events, threads, processes, time, the machine's identity).
// This header declares those calls in the global namespace with their documented signatures,
// ANSI forms named without the A suffix, and the documented constants with their real values,
// so that the system's code reads as it would on Windows. The machine lives in one directory,
// the root (machine.h): the Windows and temporary directories and the registry (registry.db)
// are below it, and the named objects are keyed by it. File calls take any path; system code
// passes paths within the root.
//
// Ownership: every HANDLE returned here (files, mutexes, events, threads, processes) is closed
// with CloseHandle; find handles with FindClose; registry keys with RegCloseKey; buffers that
// FormatMessage or ConvertString*... allocate are freed with LocalFree. A failed call returns
// exactly what Win32 returns (INVALID_HANDLE_VALUE, NULL, FALSE or an error code) and sets the
// calling thread's last error to a Win32 code.
//
// Threads: every call may be made from any thread. The handle table, the registry connection
// and the named-object namespace are guarded inside the library; a single handle must not be
// used by two threads at once for file I/O (as on Windows, the file position is shared).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "platform/win32/wintypes.h"

// ---------------------------------------------------------------------------------------------
// Base types beyond wintypes.h.

#define WINAPI
#define CALLBACK
#define APIENTRY

using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using INT = int;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using PVOID = void*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPLONG = LONG*;
using PLONG = LONG*;
using PDWORD = DWORD*;
using LPWORD = WORD*;
using LPBOOL = BOOL*;
using PHANDLE = HANDLE*;
using LPHANDLE = HANDLE*;
using HLOCAL = void*;
using HGLOBAL = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using FARPROC = void (*)();
using LSTATUS = LONG;
using REGSAM = DWORD;
using ACCESS_MASK = DWORD;
using LCID = DWORD;
using LANGID = WORD;
using TCHAR = char;
using LPTSTR = char*;
using LPCTSTR = const char*;

#ifndef NULL
#define NULL nullptr
#endif

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define INVALID_FILE_SIZE (static_cast<DWORD>(0xFFFFFFFF))
#define INVALID_SET_FILE_POINTER (static_cast<DWORD>(-1))
#define INVALID_FILE_ATTRIBUTES (static_cast<DWORD>(-1))

#define MAKEWORD(a, b) (static_cast<WORD>((static_cast<BYTE>(a)) | ((static_cast<WORD>(static_cast<BYTE>(b))) << 8)))
#define MAKELONG(a, b) (static_cast<LONG>((static_cast<WORD>(a)) | ((static_cast<DWORD>(static_cast<WORD>(b))) << 16)))
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xffff))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xff))

// ---------------------------------------------------------------------------------------------
// Error codes (winerror.h values).

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_HANDLE_EOF 38L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DIRECTORY 267L
#define ERROR_NOT_OWNER 288L
#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_NOACCESS 998L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_TIMEOUT 1460L
#define ERROR_INVALID_ACL 1336L
#define ERROR_INVALID_SID 1337L

// ---------------------------------------------------------------------------------------------
// Errors and messages.

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_NEUTRAL 0x00
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define LOCALE_USER_DEFAULT 0x0400

DWORD GetLastError();
void SetLastError(DWORD code);

// Only FORMAT_MESSAGE_FROM_SYSTEM is served (with or without ALLOCATE_BUFFER; inserts are
// never expanded). The text ends in "\r\n" as Windows writes it. Codes without a system text,
// among them the socket codes 10004..11004, return 0 with the last error ERROR_MR_MID_NOT_FOUND
// (317), as Windows does, so callers fall back to their own tables.
#define ERROR_MR_MID_NOT_FOUND 317L
DWORD FormatMessage(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                    LPSTR buffer, DWORD size, va_list* arguments);

// ---------------------------------------------------------------------------------------------
// Memory.

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define GMEM_FIXED 0x0000
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define HEAP_ZERO_MEMORY 0x00000008

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL block);  // NULL on success, as on Windows
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL block);
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// ---------------------------------------------------------------------------------------------
// Time.

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;
using PFILETIME = FILETIME*;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

DWORD GetTickCount();
ULONGLONG GetTickCount64();
void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetSystemTimeAsFileTime(LPFILETIME time);
BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME file_time);
BOOL FileTimeToLocalFileTime(const FILETIME* file_time, LPFILETIME local_time);
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);
void Sleep(DWORD milliseconds);
BOOL SwitchToThread();

// Date and time pictures ("dd MMM yyyy", "HH':'mm':'ss"); a null picture gives the system
// defaults "dd/MM/yyyy" and "HH:mm:ss". The locale is accepted and ignored (English names).
int GetDateFormat(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR picture, LPSTR buffer,
                  int size);
int GetTimeFormat(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR picture, LPSTR buffer,
                  int size);

// ---------------------------------------------------------------------------------------------
// Security. Accepted and ignored: the root is one machine with one user.

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;

struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  void* Owner;
  void* Group;
  PACL Sacl;
  PACL Dacl;
};
using PSECURITY_DESCRIPTOR = void*;
using PSID = void*;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SDDL_REVISION_1 1

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define MUTEX_ALL_ACCESS 0x001F0001
#define MUTANT_QUERY_STATE 0x0001
#define MUTEX_MODIFY_STATE 0x0001
#define EVENT_ALL_ACCESS 0x001F0003
#define EVENT_MODIFY_STATE 0x0002
#define TOKEN_QUERY 0x0008
#define PROCESS_ALL_ACCESS 0x001FFFFF
#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted);
BOOL GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL sacl_present, PACL* sacl,
                               LPBOOL sacl_defaulted);
BOOL SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor, BOOL sacl_present, PACL sacl,
                               BOOL sacl_defaulted);
// Parses nothing: any non-empty text gives an empty descriptor allocated with LocalAlloc.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptor(LPCSTR text, DWORD revision,
                                                         PSECURITY_DESCRIPTOR* descriptor,
                                                         ULONG* size);

// The process token: its user SID renders as "S-1-5-18" for SYSTEM, "S-1-5-20" for NETWORK
// SERVICE, "S-1-5-19" for LOCAL SERVICE and "S-1-5-21-0-0-0-<uid>" for any other account.
enum TOKEN_INFORMATION_CLASS { TokenUser = 1 };
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS info_class, LPVOID info,
                         DWORD size, PDWORD size_needed);
BOOL ConvertSidToStringSid(PSID sid, LPSTR* text);  // free *text with LocalFree

// ---------------------------------------------------------------------------------------------
// Handles, waits, named objects.

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED (static_cast<DWORD>(0xFFFFFFFF))
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 259L

BOOL CloseHandle(HANDLE handle);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds);

// Names: "Global\" and "Local\" (any case) are stripped and name one namespace per root;
// names compare with case, as on Windows. A name longer than MAX_PATH bytes after the prefix
// is refused with ERROR_FILENAME_EXCED_RANGE. A NULL or empty name gives an unnamed object.
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name);
HANDLE OpenMutex(DWORD access, BOOL inherit, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                   LPCSTR name);
HANDLE OpenEvent(DWORD access, BOOL inherit, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// ---------------------------------------------------------------------------------------------
// Threads and processes.

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);
#define CREATE_SUSPENDED 0x00000004
#define CREATE_NEW_CONSOLE 0x00000010
#define CREATE_NO_WINDOW 0x08000000
#define DETACHED_PROCESS 0x00000008
#define NORMAL_PRIORITY_CLASS 0x00000020
#define STARTF_USESHOWWINDOW 0x00000001
#define STARTF_USESTDHANDLES 0x00000100
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_SHOWMINNOACTIVE 7

struct STARTUPINFO {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFO = STARTUPINFO*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

DWORD GetCurrentThreadId();   // the kernel thread id
DWORD GetCurrentProcessId();
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD thread_id);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
// A thread cannot be stopped safely on POSIX: the thread is marked abandoned (its handle is
// signalled with the given exit code, and it is detached) while it runs on; TRUE.
BOOL TerminateThread(HANDLE thread, DWORD exit_code);
void ExitThread(DWORD exit_code);

// The command line is split as the C runtime of Windows splits it (quotes, backslashes before
// quotes); the program is application_name when given, else the first word of the command
// line. A program name without '/' is looked up in the running program's directory, the
// current directory, then PATH; a trailing ".exe" (any case) is dropped when the name with it
// does not exist, since programs carry no suffix here. The standard handles are inherited,
// and the child runs on this machine: its VT_SYSROOT is this process's root. The thread
// handle returned is a process handle too (waiting on it waits for the process).
BOOL CreateProcess(LPCSTR application_name, LPSTR command_line,
                   LPSECURITY_ATTRIBUTES process_attributes,
                   LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                   LPVOID environment, LPCSTR current_directory, LPSTARTUPINFO startup_info,
                   LPPROCESS_INFORMATION process_information);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code);  // STILL_ACTIVE while it runs
BOOL TerminateProcess(HANDLE process, UINT exit_code);       // SIGKILL; exit code as given
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
void ExitProcess(UINT exit_code);

// ---------------------------------------------------------------------------------------------
// Files and directories.

#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_WRITE_THROUGH 0x00000008

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

struct WIN32_FIND_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATA = WIN32_FIND_DATA*;
using PWIN32_FIND_DATA = WIN32_FIND_DATA*;

// Share modes: an open with share mode 0 conflicts with every other open of the file, in this
// process or another; shared opens conflict only with an exclusive one. A conflict fails at
// once with ERROR_SHARING_VIOLATION. FILE_FLAG_DELETE_ON_CLOSE removes the file on close.
HANDLE CreateFile(LPCSTR path, DWORD access, DWORD share_mode,
                  LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                  HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
DWORD GetFileSize(HANDLE file, LPDWORD size_high);
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access,
                 LPFILETIME last_write);
BOOL FlushFileBuffers(HANDLE file);
// The file's identity: volume serial and file index together name one file or directory
// whatever path reached it (how a directory walk recognises a loop through links).
struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
// The path of the file a handle is open on, every link followed; without the "\\?\" prefix
// Windows puts before it (flags: FILE_NAME_NORMALIZED | VOLUME_NAME_DOS, the only form).
// The length copied, or the size needed (NUL included) when the buffer is too small; 0 on
// failure.
#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0
DWORD GetFinalPathNameByHandle(HANDLE file, LPSTR buffer, DWORD size, DWORD flags);
BOOL SetEndOfFile(HANDLE file);

// Deleting a file that another open holds without sharing fails with ERROR_SHARING_VIOLATION.
BOOL DeleteFile(LPCSTR path);
BOOL MoveFile(LPCSTR from, LPCSTR to);  // fails with ERROR_ALREADY_EXISTS if `to` exists
BOOL MoveFileEx(LPCSTR from, LPCSTR to, DWORD flags);
BOOL CopyFile(LPCSTR from, LPCSTR to, BOOL fail_if_exists);
BOOL CreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL RemoveDirectory(LPCSTR path);  // only an empty directory (ERROR_DIR_NOT_EMPTY)
DWORD GetFileAttributes(LPCSTR path);
BOOL SetFileAttributes(LPCSTR path, DWORD attributes);
// Lets only the account that owns a file or directory read and write it (on Windows a DACL
// for the owner; here mode 0600, 0700 for a directory, an owner's execute bit kept). A
// symbolic link is refused, not followed. What a later rewrite of the file keeps.
BOOL VtRestrictToOwner(LPCSTR path);

// Wildcards `*` and `?` in the last component, matched without case; "." and ".." are listed
// when the pattern matches them, as on Windows. A pattern without wildcards finds the one
// entry whose name equals it without case.
HANDLE FindFirstFile(LPCSTR pattern, LPWIN32_FIND_DATA found);
BOOL FindNextFile(HANDLE find, LPWIN32_FIND_DATA found);
BOOL FindClose(HANDLE find);

DWORD GetTempPath(DWORD size, LPSTR buffer);  // "<root>/tmp/", created on demand
UINT GetTempFileName(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR buffer);
DWORD GetShortPathName(LPCSTR long_path, LPSTR buffer, DWORD size);  // a copy
DWORD GetLongPathName(LPCSTR short_path, LPSTR buffer, DWORD size);  // a copy
DWORD GetFullPathName(LPCSTR path, DWORD size, LPSTR buffer, LPSTR* file_part);
DWORD GetCurrentDirectory(DWORD size, LPSTR buffer);
BOOL SetCurrentDirectory(LPCSTR path);
UINT GetWindowsDirectory(LPSTR buffer, UINT size);        // "<root>/windows"
UINT GetSystemWindowsDirectory(LPSTR buffer, UINT size);  // "<root>/windows"
UINT GetSystemDirectory(LPSTR buffer, UINT size);         // "<root>/windows/system32"
DWORD GetModuleFileName(HMODULE module, LPSTR buffer, DWORD size);
DWORD GetEnvironmentVariable(LPCSTR name, LPSTR buffer, DWORD size);
BOOL SetEnvironmentVariable(LPCSTR name, LPCSTR value);

// stdio with a share mode: the FILE's share lock goes away with fclose. A conflict returns
// NULL with errno EACCES and the last error ERROR_SHARING_VIOLATION.
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
FILE* _fsopen(const char* path, const char* mode, int share_flag);

// Case-insensitive comparisons of the C runtime and kernel32.
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);
int lstrcmpi(LPCSTR a, LPCSTR b);
int lstrlen(LPCSTR text);

// ---------------------------------------------------------------------------------------------
// Profile (INI) files. Sections and keys compare without case; values are trimmed and one pair
// of surrounding quotes (" or ') is stripped. Lines are read up to their end whatever their
// length; a NUL byte ends its line's text; lines that are neither "[section]" nor "key=value"
// (comments starting with ';', junk) are ignored; the first of duplicate sections or keys wins.
// A file name without a directory names a file in the Windows directory. Writes replace the
// file atomically and are serialised against writers in other processes, so no write is lost;
// a section holding ']' or a line end, a key holding '=' or a line end, or a value holding a
// line end is refused with ERROR_INVALID_PARAMETER rather than written as something else.

DWORD GetPrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                              DWORD size, LPCSTR path);
UINT GetPrivateProfileInt(LPCSTR section, LPCSTR key, INT default_value, LPCSTR path);
DWORD GetPrivateProfileSection(LPCSTR section, LPSTR buffer, DWORD size, LPCSTR path);
DWORD GetPrivateProfileSectionNames(LPSTR buffer, DWORD size, LPCSTR path);
BOOL WritePrivateProfileString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR path);
// WIN.INI: "<root>/windows/win.ini".
DWORD GetProfileString(LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,
                       DWORD size);
UINT GetProfileInt(LPCSTR section, LPCSTR key, INT default_value);
BOOL WriteProfileString(LPCSTR section, LPCSTR key, LPCSTR value);

// ---------------------------------------------------------------------------------------------
// Registry: the predefined keys live in "<root>/registry.db". Key paths use '\' and compare
// without case, as do value names.

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003)))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_EXECUTE 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

LONG RegOpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result);
LONG RegOpenKey(HKEY key, LPCSTR sub_key, PHKEY result);
LONG RegCreateKeyEx(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options,
                    REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                    LPDWORD disposition);
LONG RegCreateKey(HKEY key, LPCSTR sub_key, PHKEY result);
LONG RegQueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                     LPDWORD data_size);
LONG RegSetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD data_size);
LONG RegEnumValue(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_size,
                  LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size);
LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                  LPSTR key_class, LPDWORD class_size, PFILETIME last_write_time);
LONG RegQueryInfoKey(HKEY key, LPSTR key_class, LPDWORD class_size, LPDWORD reserved,
                     LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len,
                     LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len,
                     LPDWORD security_descriptor_size, PFILETIME last_write_time);
LONG RegDeleteValue(HKEY key, LPCSTR value_name);
LONG RegDeleteKey(HKEY key, LPCSTR sub_key);   // ERROR_ACCESS_DENIED when it has subkeys
LONG RegDeleteTree(HKEY key, LPCSTR sub_key);  // the key and everything below it
LONG RegCloseKey(HKEY key);
LONG RegFlushKey(HKEY key);

// ---------------------------------------------------------------------------------------------
// Machine identity (see machine.h for setting it in tests).

struct OSVERSIONINFO {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
};
using LPOSVERSIONINFO = OSVERSIONINFO*;

struct OSVERSIONINFOEX {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
using LPOSVERSIONINFOEX = OSVERSIONINFOEX*;

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
#define VER_SUITE_SMALLBUSINESS 0x00000001
#define VER_SUITE_ENTERPRISE 0x00000002
#define VER_SUITE_TERMINAL 0x00000010
#define VER_SUITE_SINGLEUSERTS 0x00000100
#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

// Fills an OSVERSIONINFO, or an OSVERSIONINFOEX when dwOSVersionInfoSize says so (the call
// takes either, as on Windows); any other size fails with ERROR_INVALID_PARAMETER. The 9x family
// reports zeros in the extended fields.
BOOL GetVersionEx(LPOSVERSIONINFO info);
BOOL GetVersionEx(LPOSVERSIONINFOEX info);
DWORD GetVersion();
#define UNLEN 256
BOOL GetUserName(LPSTR buffer, LPDWORD size);  // size in and out, counting the NUL
BOOL GetComputerName(LPSTR buffer, LPDWORD size);

// Libraries: no code is loaded this way on this platform; the calls fail as for a library that
// is not installed, which callers already handle (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND).
HMODULE LoadLibrary(LPCSTR name);
HMODULE GetModuleHandle(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// ---------------------------------------------------------------------------------------------
// Message boxes: this platform has no desktop, so a box is written to standard error as one
// line, "<caption>: <text>" (the text alone under an empty caption), and answered at once as
// if its first button had been pressed.

using HWND = void*;
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNO 0x00000004L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR 0x00000010L
#define MB_ICONSTOP 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONINFORMATION 0x00000040L
#define IDOK 1
#define IDYES 6
int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// The window stand-in (platform/ui) shows boxes as dialogs once a program links it; it takes
// the boxes over through this seam. A null handler restores the line on standard error.
using VtMessageBoxHandler = int (*)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void VtSetMessageBoxHandler(VtMessageBoxHandler handler);
