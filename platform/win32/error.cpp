// error.cpp - the thread's last error, errno mapping and system message texts.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

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

namespace {

struct SystemText {
  DWORD code;
  const char* text;
};

// The system's texts for the codes the stand-in reports. The socket codes (10004..11004) are
// deliberately absent: callers carry their own table for them.
constexpr SystemText kSystemTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of "
         "the file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {120, "This function is not supported on this system."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {145, "The directory is not empty."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {298, "Too many posts were made to a semaphore."},
    {998, "Invalid access to memory location."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1015, "The registry is corrupted."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1332, "No mapping between account names and security IDs was done."},
    {1336, "The access control list (ACL) structure is invalid."},
    {1337, "The security ID structure is invalid."},
    {1338, "The security descriptor structure is invalid."},
    {1460, "This operation returned because the timeout period expired."},
};

const char* FindSystemText(DWORD code) {
  for (const SystemText& entry : kSystemTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

DWORD FormatMessage(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                    LPSTR buffer, DWORD size, va_list* arguments) {
  std::string text;
  if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const char*>(source);
  } else if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
    const char* found = FindSystemText(message_id);
    if (found == nullptr) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    text = std::string(found) + "\r\n";
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    if (buffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    auto* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, text.size() + 1));
    if (block == nullptr) return 0;
    std::memcpy(block, text.c_str(), text.size() + 1);
    *reinterpret_cast<char**>(buffer) = block;
    return static_cast<DWORD>(text.size());
  }
  if (buffer == nullptr || text.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  // A zero-byte request still yields a distinct block, as on Windows.
  void* block = (flags & LMEM_ZEROINIT) != 0 ? std::calloc(1, bytes == 0 ? 1 : bytes)
                                             : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) { return LocalAlloc(flags, bytes); }
HGLOBAL GlobalFree(HGLOBAL block) { return LocalFree(block); }

HANDLE GetProcessHeap() {
  // A pseudo handle: the process heap is the C library's.
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFE0000));
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  return LocalAlloc((flags & HEAP_ZERO_MEMORY) != 0 ? LMEM_ZEROINIT : LMEM_FIXED, bytes);
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  std::free(block);
  return TRUE;
}
