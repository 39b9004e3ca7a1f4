// named_objects.cpp - named and unnamed mutexes and events, and their waits.
//
// See named_objects.h for the design and the lock rules. The order is always: block file lock,
// then block mutex; waits hold neither while asleep.
#include "platform/win32/named_objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "platform/win32/handles.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"

namespace win32internal {

namespace {

constexpr const char* kSharedMemoryDir = "/dev/shm";
constexpr std::uint32_t kBlockMagic = 0x56544F42;  // "VTOB"
constexpr std::uint32_t kBlockVersion = 1;
// Processes that may hold handles to one object at once; the system's objects are held by a
// handful of processes (server tasks, the engine, the scanner).
constexpr int kMaxHolders = 200;
// A waiter re-checks, this often, whether the thread owning a mutex is still alive: a dead
// owner cannot wake anybody.
constexpr DWORD kLivenessPollMs = 50;
constexpr std::uint32_t kMaxRecursion = 0x7FFFFFFF;  // Windows' own limit on a mutex count

struct Holder {
  std::int32_t pid;
  std::uint32_t handles;
  std::uint64_t start_time;  // the process's start, against reuse of its pid
};

}  // namespace

struct SharedBlock {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t kind;
  std::uint32_t holder_count;
  pthread_mutex_t lock;
  // Mutex state.
  std::int32_t owner_pid;
  std::int32_t owner_tid;
  std::uint64_t owner_start;
  std::uint32_t recursion;
  // Event state.
  std::uint32_t manual_reset;
  std::uint32_t signaled;
  // Futex word, bumped on every release, set and reset.
  std::uint32_t sequence;
  Holder holders[kMaxHolders];
  char name[MAX_PATH + 1];
};

namespace {

// Start times as /proc reports them, with two readings that are not times.
constexpr std::uint64_t kGone = 0;                  // no such process, or a zombie
constexpr std::uint64_t kUnknown = UINT64_MAX;      // /proc does not show it to us

std::uint64_t ProcessStartTime(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* stat_file = std::fopen(path, "re");
  if (stat_file == nullptr) return errno == ENOENT || errno == ESRCH ? kGone : kUnknown;
  char text[1024];
  std::size_t length = std::fread(text, 1, sizeof text - 1, stat_file);
  std::fclose(stat_file);
  text[length] = '\0';
  // Field 22 (starttime) counts from the field after the command name, which may hold blanks.
  const char* at = std::strrchr(text, ')');
  if (at == nullptr) return kUnknown;
  // A zombie has released nothing by itself but holds nothing any more either: it is gone.
  if (at[1] == ' ' && (at[2] == 'Z' || at[2] == 'X')) return kGone;
  int field = 2;
  for (; *at != '\0' && field < 22; ++at) {
    if (*at == ' ') ++field;
  }
  return std::strtoull(at, nullptr, 10);
}

std::uint64_t OwnStartTime() {
  // Cached per pid, so that a forked child does not report its parent's start.
  static std::atomic<std::uint64_t> cached_pid{0};
  static std::atomic<std::uint64_t> cached_start{0};
  auto self = static_cast<std::uint64_t>(::getpid());
  if (cached_pid.load() != self) {
    cached_start.store(ProcessStartTime(static_cast<pid_t>(self)));
    cached_pid.store(self);
  }
  return cached_start.load();
}

// Alive unless the process is shown to be gone: a holder wrongly taken for dead would have
// its object reset under it, while one wrongly taken for alive only keeps a block a while.
bool ProcessAlive(std::int32_t pid, std::uint64_t start_time) {
  if (pid == ::getpid()) return true;
  if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH)) return false;
  std::uint64_t now = ProcessStartTime(pid);
  if (now == kGone) return false;
  if (now == kUnknown || start_time == kUnknown || start_time == kGone) return true;
  return now == start_time;  // a different start: the pid was reused
}

bool ThreadAlive(std::int32_t pid, std::int32_t tid, std::uint64_t start_time) {
  if (!ProcessAlive(pid, start_time)) return false;
  if (::syscall(SYS_tgkill, pid, tid, 0) != 0 && errno == ESRCH) return false;
  if (pid == ::getpid()) return true;
  // A thread that exited but whose process lives is not signalable; a zombie process is.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d", static_cast<int>(pid),
                static_cast<int>(tid));
  return ::access(path, F_OK) == 0 || errno != ENOENT;
}

// RAII over the block's robust mutex. A holder that died inside the critical section leaves
// only a few plain stores half done; the state is taken as it stands.
class BlockLock {
 public:
  explicit BlockLock(SharedBlock* block) : block_(block) {
    int result = ::pthread_mutex_lock(&block_->lock);
    if (result == EOWNERDEAD) ::pthread_mutex_consistent(&block_->lock);
  }
  ~BlockLock() { ::pthread_mutex_unlock(&block_->lock); }
  BlockLock(const BlockLock&) = delete;
  BlockLock& operator=(const BlockLock&) = delete;

 private:
  SharedBlock* block_;
};

// RAII over the block file's lock, taken for opening and closing.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { ::flock(fd_, LOCK_UN); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

void InitialiseBlock(SharedBlock* block, ObjectKind kind, const std::string& name) {
  std::memset(static_cast<void*>(block), 0, sizeof(SharedBlock));
  pthread_mutexattr_t attributes;
  ::pthread_mutexattr_init(&attributes);
  ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  ::pthread_mutex_init(&block->lock, &attributes);
  ::pthread_mutexattr_destroy(&attributes);
  block->kind = static_cast<std::uint32_t>(kind);
  std::memcpy(block->name, name.data(), name.size());
  block->version = kBlockVersion;
  block->magic = kBlockMagic;
}

// REQUIRES: the block lock.
void PruneDeadHolders(SharedBlock* block) {
  std::uint32_t kept = 0;
  for (std::uint32_t i = 0; i < block->holder_count && i < kMaxHolders; ++i) {
    if (ProcessAlive(block->holders[i].pid, block->holders[i].start_time)) {
      block->holders[kept++] = block->holders[i];
    }
  }
  block->holder_count = kept;
}

// REQUIRES: the block lock.
bool AddHolder(SharedBlock* block) {
  pid_t self = ::getpid();
  for (std::uint32_t i = 0; i < block->holder_count; ++i) {
    if (block->holders[i].pid == self) {
      ++block->holders[i].handles;
      return true;
    }
  }
  if (block->holder_count >= kMaxHolders) return false;
  block->holders[block->holder_count++] = Holder{self, 1, OwnStartTime()};
  return true;
}

// REQUIRES: the block lock.
void DropHolder(SharedBlock* block) {
  pid_t self = ::getpid();
  for (std::uint32_t i = 0; i < block->holder_count; ++i) {
    if (block->holders[i].pid != self) continue;
    if (--block->holders[i].handles == 0) {
      block->holders[i] = block->holders[block->holder_count - 1];
      --block->holder_count;
    }
    return;
  }
}

std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

// Strips the session prefixes: "Global\" and "Local\" name one namespace here.
std::string BareName(const char* name) {
  if (_strnicmp(name, "Global\\", 7) == 0) return name + 7;
  if (_strnicmp(name, "Local\\", 6) == 0) return name + 6;
  return name;
}

// Blocks live in memory, as a kernel keeps its named objects: in /dev/shm when the machine
// has it as a tmpfs, named after a hash of the root and one of the object name, so that the
// objects of two roots never meet. Else (and for a root that asks for it through
// VT_OBJECTS_BELOW_ROOT) they are files below the root. A block is made and removed with
// every scan job; on a disk file system each of those was a journalled create and delete
// (and, where the file system discards freed blocks online, a discard), which cost the
// real-time path more than the scanning.
bool SharedMemoryUsable() {
  static const bool usable = [] {
    struct statfs info {};
    return ::statfs(kSharedMemoryDir, &info) == 0 &&
           static_cast<unsigned long>(info.f_type) == TMPFS_MAGIC &&
           ::access(kSharedMemoryDir, W_OK | X_OK) == 0;
  }();
  return usable;
}

// Removes the blocks in shared memory that every holder has left without closing (processes
// that were killed): below a root they went with the root's directory, in /dev/shm nothing
// else would ever remove them. A block is taken under its file lock, as a closing holder
// takes it, and removed only when no live process holds it. Once a process.
void SweepAbandonedBlocks() {
  static std::once_flag once;
  std::call_once(once, [] {
    DIR* directory = ::opendir(kSharedMemoryDir);
    if (directory == nullptr) return;
    while (const struct dirent* entry = ::readdir(directory)) {
      if (std::strncmp(entry->d_name, "vt-", 3) != 0) continue;
      const std::string path = std::string(kSharedMemoryDir) + "/" + entry->d_name;
      const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
      if (fd < 0) continue;
      struct stat info {};
      if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
          static_cast<std::size_t>(info.st_size) >= sizeof(SharedBlock)) {
        FileLock file_lock(fd);
        void* memory =
            ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory != MAP_FAILED) {
          auto* block = static_cast<SharedBlock*>(memory);
          bool abandoned = false;
          if (block->magic == kBlockMagic && block->version == kBlockVersion) {
            BlockLock lock(block);
            PruneDeadHolders(block);
            abandoned = block->holder_count == 0;
            if (abandoned) block->magic = 0;
          }
          struct stat now {};
          if (abandoned && ::stat(path.c_str(), &now) == 0 && now.st_ino == info.st_ino)
            ::unlink(path.c_str());
          ::munmap(memory, sizeof(SharedBlock));
        }
      }
      ::close(fd);
    }
    ::closedir(directory);
  });
}

// The directory of the blocks and the prefix of their file names; empty without a root.
bool BlockLocation(std::string* directory_r, std::string* prefix_r) {
  std::string root = vtplatform::SystemRoot();
  if (root.empty()) return false;
  const char* below_root = std::getenv("VT_OBJECTS_BELOW_ROOT");
  if (SharedMemoryUsable() && (below_root == nullptr || *below_root == '\0' ||
                               std::strcmp(below_root, "0") == 0)) {
    SweepAbandonedBlocks();
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "vt-%016llx-",
                  static_cast<unsigned long long>(Fnv1a(root)));
    *directory_r = kSharedMemoryDir;
    *prefix_r = prefix;
    return true;
  }
  *directory_r = root + vtplatform::kPathSep + ".objects";
  prefix_r->clear();
  return true;
}

void FutexWait(std::uint32_t* word, std::uint32_t expected, DWORD milliseconds) {
  struct timespec wait {};
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &wait, nullptr, 0);
}

void FutexWakeAll(std::uint32_t* word) {
  ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

std::uint32_t LoadSequence(SharedBlock* block) {
  return __atomic_load_n(&block->sequence, __ATOMIC_SEQ_CST);
}

void BumpSequence(SharedBlock* block) {
  __atomic_add_fetch(&block->sequence, 1, __ATOMIC_SEQ_CST);
}

struct Creation {
  ObjectKind kind;
  bool create;          // false: open an existing object only
  bool initial_owner;   // mutex
  bool manual_reset;    // event
  bool initial_state;   // event
};

HANDLE MakeUnnamed(const Creation& creation) {
  void* memory = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto object = std::make_shared<NamedObjectHandle>();
  object->block = static_cast<SharedBlock*>(memory);
  object->kind = creation.kind;
  InitialiseBlock(object->block, creation.kind, std::string());
  SharedBlock* block = object->block;
  if (creation.kind == ObjectKind::kMutex && creation.initial_owner) {
    block->owner_pid = ::getpid();
    block->owner_tid = static_cast<std::int32_t>(GetCurrentThreadId());
    block->owner_start = OwnStartTime();
    block->recursion = 1;
  }
  block->manual_reset = creation.manual_reset ? 1 : 0;
  block->signaled = creation.initial_state ? 1 : 0;
  HANDLE handle = InsertHandle(object);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

HANDLE OpenObject(const char* raw_name, const Creation& creation) {
  if (raw_name == nullptr || *raw_name == '\0') {
    if (!creation.create) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    return MakeUnnamed(creation);
  }
  std::string name = BareName(raw_name);
  // Refused rather than cut: a cut name could alias another object.
  if (name.size() > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  const std::string path = BlockFilePath(name.c_str());
  if (path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }

  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (creation.create ? O_CREAT : 0), 0666);
    if (fd < 0) {
      SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND
                                   : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
      return nullptr;
    }
    auto object = std::make_shared<NamedObjectHandle>();
    object->fd = fd;  // closed by the owner from here on
    object->path = path;
    object->kind = creation.kind;
    FileLock file_lock(fd);
    // The last holder may have removed this file between our open and our lock.
    struct stat by_fd {};
    struct stat by_path {};
    if (::fstat(fd, &by_fd) != 0 || by_fd.st_nlink == 0 || ::stat(path.c_str(), &by_path) != 0 ||
        by_path.st_ino != by_fd.st_ino) {
      continue;
    }
    if (static_cast<std::size_t>(by_fd.st_size) < sizeof(SharedBlock) &&
        ::ftruncate(fd, sizeof(SharedBlock)) != 0) {
      win32internal::FailFromErrno();
      return nullptr;
    }
    void* memory = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
      win32internal::FailFromErrno();
      return nullptr;
    }
    SharedBlock* block = static_cast<SharedBlock*>(memory);
    // On a failure below the mapping is dropped without touching the holder table.
    auto fail = [&object, block](DWORD code) -> HANDLE {
      ::munmap(block, sizeof(SharedBlock));
      object->block = nullptr;
      SetLastError(code);
      return nullptr;
    };

    bool fresh = block->magic != kBlockMagic || block->version != kBlockVersion;
    if (!fresh) {
      BlockLock lock(block);
      PruneDeadHolders(block);
      // Every holder died: what is left is the remains of a crash, not a live object.
      fresh = block->holder_count == 0;
    }
    if (fresh) {
      if (!creation.create) {
        ::unlink(path.c_str());
        return fail(ERROR_FILE_NOT_FOUND);
      }
      InitialiseBlock(block, creation.kind, name);
    }
    DWORD refusal = ERROR_SUCCESS;
    {
      BlockLock lock(block);
      if (block->kind != static_cast<std::uint32_t>(creation.kind) ||
          std::strncmp(block->name, name.c_str(), sizeof block->name) != 0) {
        // Another kind of object holds the name (or, improbably, another name the hash).
        refusal = ERROR_INVALID_HANDLE;
      } else if (!AddHolder(block)) {
        refusal = ERROR_NOT_ENOUGH_MEMORY;
      } else if (fresh) {
        if (creation.kind == ObjectKind::kMutex && creation.initial_owner) {
          block->owner_pid = ::getpid();
          block->owner_tid = static_cast<std::int32_t>(GetCurrentThreadId());
          block->owner_start = OwnStartTime();
          block->recursion = 1;
        }
        block->manual_reset = creation.manual_reset ? 1 : 0;
        block->signaled = creation.initial_state ? 1 : 0;
      }
    }
    if (refusal != ERROR_SUCCESS) return fail(refusal);
    object->block = block;
    HANDLE handle = InsertHandle(object);
    // An existing object is returned as it is (no initial ownership), reported through the
    // last error, as Win32 does.
    SetLastError(!fresh && creation.create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  }
}

std::shared_ptr<NamedObjectHandle> ObjectOfKind(HANDLE handle, ObjectKind kind) {
  auto object = LookupHandle<NamedObjectHandle>(handle);
  if (object == nullptr || object->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

// One attempt to obtain the object. REQUIRES: the block lock.
DWORD TryLocked(SharedBlock* block, ObjectKind kind, std::int32_t self_tid) {
  if (kind == ObjectKind::kEvent) {
    if (block->signaled == 0) return WAIT_TIMEOUT;
    if (block->manual_reset == 0) block->signaled = 0;
    return WAIT_OBJECT_0;
  }
  pid_t self = ::getpid();
  if (block->owner_tid == 0) {
    block->owner_pid = self;
    block->owner_tid = self_tid;
    block->owner_start = OwnStartTime();
    block->recursion = 1;
    return WAIT_OBJECT_0;
  }
  if (block->owner_pid == self && block->owner_tid == self_tid) {
    if (block->recursion >= kMaxRecursion) return WAIT_FAILED;
    ++block->recursion;
    return WAIT_OBJECT_0;
  }
  if (!ThreadAlive(block->owner_pid, block->owner_tid, block->owner_start)) {
    // The owner died holding it: the waiter inherits the mutex and is told so.
    block->owner_pid = self;
    block->owner_tid = self_tid;
    block->owner_start = OwnStartTime();
    block->recursion = 1;
    return WAIT_ABANDONED;
  }
  return WAIT_TIMEOUT;
}

}  // namespace

std::string BlockFilePath(const char* name) {
  std::string directory;
  std::string prefix;
  if (!BlockLocation(&directory, &prefix)) return {};
  if (prefix.empty()) ::mkdir(directory.c_str(), 0777);
  char file_name[40];
  std::snprintf(file_name, sizeof file_name, "%016llx",
                static_cast<unsigned long long>(Fnv1a(name)));
  return directory + vtplatform::kPathSep + prefix + file_name;
}

NamedObjectHandle::~NamedObjectHandle() {
  if (block == nullptr) {
    if (fd >= 0) ::close(fd);
    return;
  }
  if (fd < 0) {
    ::munmap(block, sizeof(SharedBlock));
    return;
  }
  {
    FileLock file_lock(fd);
    bool last = false;
    {
      BlockLock lock(block);
      DropHolder(block);
      PruneDeadHolders(block);
      last = block->holder_count == 0;
      if (last) block->magic = 0;
    }
    if (last) ::unlink(path.c_str());
  }
  ::munmap(block, sizeof(SharedBlock));
  ::close(fd);
}

DWORD TryNamedObject(NamedObjectHandle& object) {
  auto self_tid = static_cast<std::int32_t>(GetCurrentThreadId());
  BlockLock lock(object.block);
  return TryLocked(object.block, object.kind, self_tid);
}

DWORD WaitNamedObject(NamedObjectHandle& object, DWORD milliseconds) {
  auto self_tid = static_cast<std::int32_t>(GetCurrentThreadId());
  ULONGLONG start = GetTickCount64();
  SharedBlock* block = object.block;
  for (;;) {
    std::uint32_t sequence = 0;
    {
      BlockLock lock(block);
      DWORD result = TryLocked(block, object.kind, self_tid);
      if (result != WAIT_TIMEOUT) {
        if (result == WAIT_FAILED) SetLastError(ERROR_TOO_MANY_POSTS);
        return result;
      }
      sequence = LoadSequence(block);
    }
    DWORD slice = kLivenessPollMs;
    if (milliseconds != INFINITE) {
      ULONGLONG elapsed = GetTickCount64() - start;
      if (elapsed >= milliseconds) return WAIT_TIMEOUT;
      ULONGLONG remaining = milliseconds - elapsed;
      if (remaining < slice) slice = static_cast<DWORD>(remaining);
    }
    FutexWait(&block->sequence, sequence, slice);
  }
}

}  // namespace win32internal

using win32internal::Creation;
using win32internal::ObjectKind;

HANDLE CreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initial_owner, LPCSTR name) {
  return win32internal::OpenObject(name, Creation{ObjectKind::kMutex, true, initial_owner != 0,
                                                  false, false});
}

HANDLE OpenMutex(DWORD access, BOOL inherit, LPCSTR name) {
  return win32internal::OpenObject(name, Creation{ObjectKind::kMutex, false, false, false, false});
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto object = win32internal::ObjectOfKind(mutex, ObjectKind::kMutex);
  if (object == nullptr) return FALSE;
  win32internal::SharedBlock* block = object->block;
  bool freed = false;
  {
    win32internal::BlockLock lock(block);
    if (block->owner_pid != ::getpid() ||
        block->owner_tid != static_cast<std::int32_t>(GetCurrentThreadId()) ||
        block->recursion == 0) {
      return win32internal::Fail(ERROR_NOT_OWNER);
    }
    if (--block->recursion == 0) {
      block->owner_pid = 0;
      block->owner_tid = 0;
      block->owner_start = 0;
      freed = true;
      win32internal::BumpSequence(block);
    }
  }
  if (freed) win32internal::FutexWakeAll(&block->sequence);
  return TRUE;
}

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                   LPCSTR name) {
  return win32internal::OpenObject(
      name, Creation{ObjectKind::kEvent, true, false, manual_reset != 0, initial_state != 0});
}

HANDLE OpenEvent(DWORD access, BOOL inherit, LPCSTR name) {
  return win32internal::OpenObject(name, Creation{ObjectKind::kEvent, false, false, false, false});
}

BOOL SetEvent(HANDLE event) {
  auto object = win32internal::ObjectOfKind(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  {
    win32internal::BlockLock lock(object->block);
    object->block->signaled = 1;
    win32internal::BumpSequence(object->block);
  }
  win32internal::FutexWakeAll(&object->block->sequence);
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = win32internal::ObjectOfKind(event, ObjectKind::kEvent);
  if (object == nullptr) return FALSE;
  win32internal::BlockLock lock(object->block);
  object->block->signaled = 0;
  return TRUE;
}
