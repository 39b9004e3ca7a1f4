// named_objects.h - named mutexes with the system's naming and security, the platform
// classes, the service-account test and the engine-presence test.
//
// What it is for: the deliverables run in different security contexts and terminal
// sessions but coordinate through named mutexes, one named event and the engine's lock
// file. Every named mutex of the system is created here, so that one name means one object
// for every process of the machine: on Terminal Server, XP and Windows 6 and later names
// are qualified with "Global\", and the objects get security open to every account.
//
// Ownership: a HANDLE returned here belongs to the caller, who closes it with CloseObject
// or hands it to a UniqueHandle. A MutexHold owns one acquisition of a mutex, not the
// handle.
//
// Locks: none of its own. The platform classes are asked of the system on every call (the
// answer never changes on a real machine, and tests switch the identity between cases);
// the low-integrity label is converted once per process under a std::once_flag.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32/windows.h"

namespace foundation {

// The engine holds this file open without sharing while it runs.
inline constexpr const char* kEngineLockFile = "maildisp.lck";

// Longest qualified object name accepted. A longer name is refused rather than cut, since a
// cut name could be another object's name.
inline constexpr std::size_t kMaxObjectNameLength = MAX_PATH;

// The platform classes of the running system.
struct PlatformClass {
  bool nt_family = false;
  bool windows_2000 = false;   // 5.0
  bool xp = false;             // 5.1
  bool server_2003 = false;    // 5.2
  bool windows6_or_later = false;
  bool win9x = false;          // 4.0, 4.10, 4.90 of the 9x family
};

[[nodiscard]] PlatformClass ClassifyPlatform();
[[nodiscard]] bool IsTerminalServer();
[[nodiscard]] bool IsXp();
[[nodiscard]] bool IsWindows6OrLater();

// The name as CreateNamedMutex creates it: prefixed with "Global\" on a Terminal Server, XP
// or Windows 6 and later unless it already begins with "Global\" or "Local\" (any case).
[[nodiscard]] std::string QualifyObjectName(std::string_view name);

// Creates or opens the named mutex (an unnamed one for a null or empty name). With secure
// or low_integrity, the mutex gets the open security (and on Windows 6 and later the
// low-integrity label when asked; under NETWORK SERVICE the descriptor of that account);
// otherwise, or when those cannot be built, `fallback` is passed. Returns the handle or
// NULL, and leaves the thread's last error as the creation left it, so that the caller can
// test for ERROR_ALREADY_EXISTS. A qualified name longer than kMaxObjectNameLength is
// refused with NULL and ERROR_FILENAME_EXCED_RANGE.
[[nodiscard]] HANDLE CreateNamedMutex(LPSECURITY_ATTRIBUTES fallback, bool initially_owned,
                                      const char* name, bool secure, bool low_integrity);

// CreateNamedMutex with secure security and no label: 0 and the handle in `handle`, or -1
// (handle NULL).
[[nodiscard]] int OpenMutexForUse(HANDLE& handle, bool initially_owned, const char* name);

// Waits for the object: 0 when it was obtained (a mutex abandoned by a dead holder is
// obtained too), -1 on time-out, failure or a missing handle.
[[nodiscard]] int WaitObject(HANDLE handle, DWORD timeout_ms);

// Releases a mutex: 0 on success or for a missing handle, -1 on failure.
int ReleaseNamedMutex(HANDLE handle);

// Closes the handle in the slot (a missing or invalid one is tolerated) and empties the
// slot.
void CloseObject(HANDLE& slot);

// True when the process runs as NETWORK SERVICE; the account name goes to user_name when
// given (empty when it cannot be found).
[[nodiscard]] bool IsNetworkService(std::string* user_name = nullptr);

// True while another process holds maildisp.lck of the install directory open without
// sharing. A lock file that nobody holds is stale: it is deleted, and the engine counts as
// running only if the delete fails.
[[nodiscard]] bool IsEngineRunning(std::string_view install_directory);

// Owner of a handle (mutex, event, file, thread, process): closed on destruction.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { CloseObject(handle_); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  [[nodiscard]] HANDLE get() const { return handle_; }
  [[nodiscard]] bool valid() const {
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
  }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset(HANDLE handle = nullptr) {
    CloseObject(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// One acquisition of a mutex, released on destruction. Not copyable or movable: the
// acquisition belongs to the thread that made it.
class MutexHold {
 public:
  explicit MutexHold(HANDLE mutex, DWORD timeout_ms = INFINITE)
      : mutex_(mutex), held_(WaitObject(mutex, timeout_ms) == 0) {}
  ~MutexHold() {
    if (held_) ReleaseNamedMutex(mutex_);
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

  // False when the wait timed out or failed: the caller does not own the mutex.
  [[nodiscard]] bool held() const { return held_; }

 private:
  HANDLE mutex_;
  bool held_;
};

}  // namespace foundation
