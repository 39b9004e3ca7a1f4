// error.cpp - the thread's last error, errno mapping and system message texts.
#include <cerrno>
#include <cstring>

#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {
thread_local DWORD t_last_error = 0;
}

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD code) { t_last_error = code; }

namespace win32internal {

BOOL FailFromErrno() {
  SetLastError(static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
  return FALSE;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace win32internal

namespace vtplatform {

unsigned long Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EBUSY: return ERROR_BUSY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EFAULT: return ERROR_NOACCESS;
    case ESPIPE: return ERROR_NEGATIVE_SEEK;
    case ELOOP: return ERROR_CANTOPEN;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace vtplatform
