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

#include <algorithm>
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
#include <vector>

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

// Blocks live in memory, as a kernel keeps its named objects: in a directory of shared
// memory (/dev/shm) when the machine has it as a tmpfs, or (for a root that asks for it
// through VT_OBJECTS_BELOW_ROOT) in "<root>/.objects". A block is made and removed with
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

// The objects are the server account's own. Anyone may create names in /dev/shm, and every
// object name of the system can be computed: a block made or opened there by name would let
// another local user answer for the engine (set a job's event), take a mutex, or plant a
// link through which this account writes a file of the attacker's choice. So the blocks of
// a root live in a directory of this account's own, mode 0700, checked whenever it is
// opened, held open, and blocks are opened relative to it, without following links.
void Refuse(const std::string& what) {
  std::fprintf(stderr, "named objects: %s: refused\n", what.c_str());
  std::fflush(stderr);
}

// Opens the directory at path if it is a directory (not a link) of this account with mode
// 0700; -1 otherwise, with the refusal logged unless the directory is simply missing.
int OpenPrivateDirectory(const std::string& path, bool log_missing) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT || log_missing) Refuse(path + " is not a directory of its own (" +
                                               std::strerror(errno) + ")");
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700) {
    char reason[128];
    std::snprintf(reason, sizeof reason, " belongs to uid %u with mode %o, not to uid %u with 0700",
                  static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_mode & 07777),
                  static_cast<unsigned>(::geteuid()));
    Refuse(path + reason);
    ::close(fd);
    return -1;
  }
  return fd;
}

// Gives a directory just made the mode it must have, whatever the umask took away.
int OpenMadeDirectory(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fchmod(fd, 0700) != 0) {
    ::close(fd);
    return -1;
  }
  ::close(fd);
  return OpenPrivateDirectory(path, false);
}

// A regular file of this account: what a block or the location record must be.
bool OwnRegularFile(int fd, struct stat* info_r) {
  return ::fstat(fd, info_r) == 0 && S_ISREG(info_r->st_mode) && info_r->st_uid == ::geteuid();
}

// Removes the block file `name` of the directory if every process that held it has died
// without closing it. The block is taken under its file lock, as a closing holder takes it.
void SweepBlock(int directory_fd, const char* name) {
  const int fd = ::openat(directory_fd, name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat info {};
  if (OwnRegularFile(fd, &info) && static_cast<std::size_t>(info.st_size) >= sizeof(SharedBlock)) {
    FileLock file_lock(fd);
    void* memory = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
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
      if (abandoned && ::fstatat(directory_fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
          now.st_ino == info.st_ino)
        ::unlinkat(directory_fd, name, 0);
      ::munmap(memory, sizeof(SharedBlock));
    }
  }
  ::close(fd);
}

// Removes the blocks in shared memory that every holder has left without closing (processes
// that were killed), and the block directories of this account left empty: below a root
// they went with the root's directory, in /dev/shm nothing else would ever remove them.
// A directory removed under a process that still uses its root is made again by that
// process (see CurrentBlockDirectory). Once a process.
void SweepAbandonedBlocks() {
  static std::once_flag once;
  std::call_once(once, [] {
    const int shm_fd = ::open(kSharedMemoryDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (shm_fd < 0) return;
    DIR* directory = ::fdopendir(::dup(shm_fd));
    if (directory == nullptr) {
      ::close(shm_fd);
      return;
    }
    std::vector<std::string> names;
    while (const struct dirent* entry = ::readdir(directory)) {
      if (std::strncmp(entry->d_name, "vt-", 3) == 0) names.emplace_back(entry->d_name);
    }
    ::closedir(directory);
    for (const std::string& name : names) {
      struct stat info {};
      if (::fstatat(shm_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          info.st_uid != ::geteuid())
        continue;
      if (S_ISREG(info.st_mode)) {
        // A block of the layout before block directories.
        SweepBlock(shm_fd, name.c_str());
        continue;
      }
      if (!S_ISDIR(info.st_mode) || (info.st_mode & 07777) != 0700) continue;
      const int blocks_fd =
          ::openat(shm_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (blocks_fd < 0) continue;
      if (DIR* blocks = ::fdopendir(::dup(blocks_fd))) {
        std::vector<std::string> files;
        while (const struct dirent* entry = ::readdir(blocks)) {
          if (entry->d_name[0] != '.') files.emplace_back(entry->d_name);
        }
        ::closedir(blocks);
        for (const std::string& file : files) SweepBlock(blocks_fd, file.c_str());
      }
      ::close(blocks_fd);
      ::unlinkat(shm_fd, name.c_str(), AT_REMOVEDIR);  // fails unless it is empty now
    }
    ::close(shm_fd);
  });
}

// Attempts at making a block directory that another process's sweep keeps removing.
constexpr int kMakeAttempts = 8;

// The directory of the blocks of one root in /dev/shm has a name nobody can foresee
// (mkdtemp), recorded in "<root>/.objects-location" (mode 0600), so that no other user
// can make it first; a recorded directory that is gone or not this account's own is
// replaced by a new one, under the record's file lock. -1 when none can be had.
int OpenSharedMemoryDirectory(const std::string& root, std::string* path_r) {
  const std::string record_path = root + vtplatform::kPathSep + ".objects-location";
  const int record = ::open(record_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (record < 0) {
    Refuse(record_path + " cannot be opened (" + std::strerror(errno) + ")");
    return -1;
  }
  struct stat info {};
  if (!OwnRegularFile(record, &info)) {
    Refuse(record_path + " is not a file of this account's own");
    ::close(record);
    return -1;
  }
  FileLock file_lock(record);
  char recorded[PATH_MAX] = {};
  const ssize_t length = ::pread(record, recorded, sizeof recorded - 1, 0);
  const std::string shm_prefix = std::string(kSharedMemoryDir) + "/vt-";
  if (length > 0) {
    // "<directory>\n<root>\n": a record copied with the root's files to another root (an
    // image, a backup restored elsewhere) names another machine's objects and is not used.
    std::string path(recorded, static_cast<std::size_t>(length));
    const std::size_t line_end = path.find('\n');
    const std::string recorded_root =
        line_end == std::string::npos ? std::string() : path.substr(line_end + 1);
    path.resize(std::min(path.size(), line_end));
    if (recorded_root == root + "\n" && path.rfind(shm_prefix, 0) == 0 &&
        path.find('/', shm_prefix.size()) == std::string::npos) {
      const int fd = OpenPrivateDirectory(path, false);
      if (fd >= 0) {
        ::close(record);
        *path_r = path;
        return fd;
      }
    }
  }
  char made[64];
  int fd = -1;
  // Another process's sweep may take the new directory while it is still empty, between
  // mkdtemp and the open: then a fresh one is made.
  for (int attempt = 1; attempt <= kMakeAttempts && fd < 0; ++attempt) {
    std::snprintf(made, sizeof made, "%s%u-XXXXXX", shm_prefix.c_str(),
                  static_cast<unsigned>(::geteuid()));
    if (::mkdtemp(made) == nullptr) break;
    fd = OpenMadeDirectory(made);
    if (fd < 0 && errno != ENOENT) break;
  }
  if (fd < 0) {
    Refuse(std::string("no directory for named objects could be made in ") + kSharedMemoryDir +
           " (" + std::strerror(errno) + ")");
    ::close(record);
    return -1;
  }
  const std::string text = std::string(made) + "\n" + root + "\n";
  if (::ftruncate(record, 0) != 0 ||
      ::pwrite(record, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    Refuse(record_path + " cannot be written (" + std::strerror(errno) + ")");
    ::rmdir(made);
    ::close(fd);
    ::close(record);
    return -1;
  }
  ::close(record);
  *path_r = made;
  return fd;
}

// The block directory of the current root, made if need be; null without a root or when it
// is refused (logged). The answer is kept while the root and its placement stay the same
// and the directory exists.
std::shared_ptr<BlockDirectory> CurrentBlockDirectory() {
  static std::mutex mutex;
  static std::string cached_key;
  static std::shared_ptr<BlockDirectory> cached;
  std::string root = vtplatform::SystemRoot();
  if (root.empty()) return nullptr;
  const char* below_root = std::getenv("VT_OBJECTS_BELOW_ROOT");
  const bool in_memory = SharedMemoryUsable() && (below_root == nullptr || *below_root == '\0' ||
                                                   std::strcmp(below_root, "0") == 0);
  const std::string key = (in_memory ? "m:" : "r:") + root;
  std::lock_guard<std::mutex> guard(mutex);
  if (cached && cached_key == key && !cached->Gone()) return cached;
  auto directory = std::make_shared<BlockDirectory>();
  if (in_memory) {
    SweepAbandonedBlocks();
    directory->fd = OpenSharedMemoryDirectory(root, &directory->path);
  } else {
    directory->path = root + vtplatform::kPathSep + ".objects";
    if (::mkdir(directory->path.c_str(), 0700) == 0) {
      directory->fd = OpenMadeDirectory(directory->path);
    } else {
      directory->fd = OpenPrivateDirectory(directory->path, true);
    }
  }
  if (directory->fd < 0) return nullptr;
  cached_key = key;
  cached = directory;
  return directory;
}

// The name of the block file of an object within its directory.
std::string BlockFileName(const std::string& name) {
  char file_name[40];
  std::snprintf(file_name, sizeof file_name, "%016llx",
                static_cast<unsigned long long>(Fnv1a(name)));
  return file_name;
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

// Opens or creates the block file of an object: created only anew (O_EXCL) and never
// through a link; an existing one is used only as a regular file of this account. -1 with
// the last error set when there is none to use; *retry_r asks the caller to try again
// (the directory or the file went away meanwhile).
int OpenBlockFile(const BlockDirectory& directory, const std::string& file_name,
                  const Creation& creation, bool* created_r, bool* retry_r) {
  *created_r = false;
  *retry_r = false;
  int fd = -1;
  if (creation.create) {
    fd = ::openat(directory.fd, file_name.c_str(),
                  O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0600);
    *created_r = fd >= 0;
  }
  if (fd < 0 && (!creation.create || errno == EEXIST))
    fd = ::openat(directory.fd, file_name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int error = errno;
    // Swept from under us, or removed by its last holder between the two opens.
    *retry_r = error == ENOENT && (directory.Gone() || creation.create);
    SetLastError(error == ENOENT ? ERROR_FILE_NOT_FOUND
                 : error == ELOOP ? ERROR_ACCESS_DENIED
                                  : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error)));
    if (error == ELOOP) Refuse(directory.path + "/" + file_name + " is a link");
    return -1;
  }
  struct stat info {};
  if (!OwnRegularFile(fd, &info)) {
    Refuse(directory.path + "/" + file_name + " is not a block of this account's own");
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

// Attempts to open an object before giving up on a directory or file that keeps vanishing.
constexpr int kOpenAttempts = 8;

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
  const std::string file_name = BlockFileName(name);

  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<BlockDirectory> directory = CurrentBlockDirectory();
    if (!directory) {
      SetLastError(vtplatform::SystemRoot().empty() ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
      return nullptr;
    }
    bool created = false;
    bool retry = false;
    int fd = OpenBlockFile(*directory, file_name, creation, &created, &retry);
    if (fd < 0) {
      if (retry && attempt < kOpenAttempts) continue;
      return nullptr;
    }
    auto object = std::make_shared<NamedObjectHandle>();
    object->fd = fd;  // closed by the owner from here on
    object->directory = directory;
    object->file_name = file_name;
    object->kind = creation.kind;
    FileLock file_lock(fd);
    // The last holder may have removed this file between our open and our lock.
    struct stat by_fd {};
    struct stat by_name {};
    if (::fstat(fd, &by_fd) != 0 || by_fd.st_nlink == 0 ||
        ::fstatat(directory->fd, file_name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) != 0 ||
        by_name.st_ino != by_fd.st_ino) {
      if (attempt < kOpenAttempts) continue;
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    // The block's memory is reserved now: a mapping of a file with holes that shared memory
    // cannot back (a full /dev/shm) would kill the process with SIGBUS on first touch.
    if (static_cast<std::size_t>(by_fd.st_size) < sizeof(SharedBlock)) {
      const int error = ::posix_fallocate(fd, 0, sizeof(SharedBlock));
      if (error != 0) {
        if (created) ::unlinkat(directory->fd, file_name.c_str(), 0);
        SetLastError(error == ENOSPC ? ERROR_DISK_FULL
                                     : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(error)));
        return nullptr;
      }
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
        ::unlinkat(directory->fd, file_name.c_str(), 0);
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
  std::shared_ptr<BlockDirectory> directory = CurrentBlockDirectory();
  if (!directory) return {};
  return directory->path + vtplatform::kPathSep + BlockFileName(BareName(name));
}

BlockDirectory::~BlockDirectory() {
  if (fd >= 0) ::close(fd);
}

bool BlockDirectory::Gone() const {
  struct stat info {};
  return ::fstat(fd, &info) != 0 || info.st_nlink == 0;
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
    if (last) ::unlinkat(directory->fd, file_name.c_str(), 0);
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
