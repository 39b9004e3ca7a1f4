// desktop.cpp - the desktop settings a program may change before it starts another one.
//
// Kept apart from the window table so that a console program (the schedule runner) that only
// adjusts the foreground rules links no window code.
#include <atomic>

#include "platform/ui/winuser.h"

namespace {
std::atomic<DWORD> foreground_lock_timeout_ms{200000};  // the Windows default
}  // namespace

BOOL SystemParametersInfo(UINT action, UINT uint_param, PVOID pv_param, UINT) {
  switch (action) {
    case SPI_GETFOREGROUNDLOCKTIMEOUT:
      if (!pv_param) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      *static_cast<DWORD*>(pv_param) = foreground_lock_timeout_ms.load();
      return TRUE;
    case SPI_SETFOREGROUNDLOCKTIMEOUT:
      // The new value travels in pvParam, cast, as Windows expects it.
      foreground_lock_timeout_ms = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(pv_param));
      (void)uint_param;
      return TRUE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

BOOL AllowSetForegroundWindow(DWORD) { return TRUE; }
