// internal.h - seams shared by the units of the Windows stand-in; not for system code.
//
// Threads: each helper says which lock it takes; none is held on return.
#pragma once

#include <string>

#include "platform/win32/wintypes.h"

namespace win32internal {

// Called after the root changed: drops per-root caches (the registry connection).
void OnRootChanged();

// Sets the thread's last error from errno and returns FALSE, for the common failure path.
BOOL FailFromErrno();
BOOL Fail(DWORD code);

}  // namespace win32internal
