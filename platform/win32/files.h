// files.h - the pieces of the file calls that other units of the stand-in share.
//
// Threads: FileObject is used by one thread at a time, as a Win32 file handle is.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/win32/windows.h"

namespace win32internal {

// An open file: the descriptor carries the share lock (flock on its own open file
// description), so the lock goes away with the descriptor.
struct FileObject {
  int fd = -1;
  std::string path;
  bool readable = false;
  bool writable = false;
  bool delete_on_close = false;
  ~FileObject();
};

// Opens `path` with open(2) flags and takes the share lock that `share_mode` asks for; on a
// conflict closes it and fails with ERROR_SHARING_VIOLATION. Truncation (O_TRUNC) is done only
// after the lock is held, so a conflicting open never damages the holder's file. Returns the
// descriptor or -1 with the last error set; *existed tells whether the file was there.
[[nodiscard]] int OpenShared(const std::string& path, int flags, DWORD share_mode, bool* existed);

// The Win32 code for a failed lookup of `path` with errno ENOENT: ERROR_PATH_NOT_FOUND when
// the directory part is missing, else ERROR_FILE_NOT_FOUND.
[[nodiscard]] DWORD NotFoundCode(const std::string& path);

// FILETIME of a time in seconds and nanoseconds since 1970.
[[nodiscard]] FILETIME FileTimeFromUnix(time_t seconds, long nanoseconds);

// Copies `text` into a Win32 output buffer of `size` bytes: returns the length without the
// NUL when it fits, else the size needed including the NUL (buffer untouched).
[[nodiscard]] DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size);

// Win32 wildcard match (`*`, `?`) without regard to ASCII case.
[[nodiscard]] bool WildcardMatch(const char* pattern, const char* name);

}  // namespace win32internal
