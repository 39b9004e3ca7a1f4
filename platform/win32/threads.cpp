// threads.cpp - threads, processes and the waits on every kind of handle.
//
// A ThreadObject is shared by the thread's handle and the running thread itself; its mutex
// guards the finished flag and exit code. A ProcessObject is shared by the process and thread
// handles CreateProcess returns; its mutex guards the reaped status. Neither lock is held
// while waiting on the other.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/named_objects.h"

extern char** environ;

namespace win32internal {

struct ThreadObject {
  std::mutex mutex;
  std::condition_variable finished_changed;
  bool finished = false;     // guarded by mutex
  bool terminated = false;   // guarded by mutex: TerminateThread gave up on it
  DWORD exit_code = STILL_ACTIVE;  // guarded by mutex
  DWORD thread_id = 0;             // guarded by mutex until started is set
  bool started = false;            // guarded by mutex
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
};

struct ProcessObject {
  pid_t pid = -1;
  int pidfd = -1;
  bool child = false;  // our own child: waitpid gives its exit status
  std::mutex mutex;
  bool exited = false;          // guarded by mutex
  DWORD exit_code = STILL_ACTIVE;  // guarded by mutex
  bool terminated = false;      // guarded by mutex: TerminateProcess set the code
  DWORD terminate_code = 0;     // guarded by mutex
  ~ProcessObject();
};

}  // namespace win32internal

using win32internal::ProcessObject;
using win32internal::ThreadObject;

namespace {

thread_local std::shared_ptr<ThreadObject> t_current_thread;

// The C library's pidfd wrappers are not declared for C++ here; the system calls are direct.
int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int PidfdKill(int pidfd, int signal_number) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal_number, nullptr, 0));
}

void FinishThread(ThreadObject& thread, DWORD exit_code) {
  std::lock_guard<std::mutex> lock(thread.mutex);
  if (!thread.finished) {
    thread.finished = true;
    thread.exit_code = exit_code;
  }
  thread.finished_changed.notify_all();
}

// Thread-exit unwinding (ExitThread) passes through here; anything else thrown out of a thread
// routine is a fault of the routine and ends the process as it would on Windows.
void* ThreadTop(void* argument) {
  auto* owner = static_cast<std::shared_ptr<ThreadObject>*>(argument);
  std::shared_ptr<ThreadObject> thread = std::move(*owner);
  delete owner;
  t_current_thread = thread;
  {
    std::lock_guard<std::mutex> lock(thread->mutex);
    thread->thread_id = GetCurrentThreadId();
    thread->started = true;
    thread->finished_changed.notify_all();
  }
  DWORD exit_code = thread->start(thread->parameter);
  FinishThread(*thread, exit_code);
  t_current_thread.reset();
  return nullptr;
}

DWORD WaitThread(ThreadObject& thread, DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(thread.mutex);
  if (milliseconds == INFINITE) {
    thread.finished_changed.wait(lock, [&thread] { return thread.finished; });
    return WAIT_OBJECT_0;
  }
  bool done = thread.finished_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                               [&thread] { return thread.finished; });
  return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD ExitCodeOfStatus(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  // Killed by a signal: the shell's convention, 128 and the signal number.
  if (WIFSIGNALED(status)) return static_cast<DWORD>(128 + WTERMSIG(status));
  return 0;
}

// Collects the exit status if the process has ended. REQUIRES: process.mutex.
bool PollProcessLocked(ProcessObject& process) {
  if (process.exited) return true;
  if (process.child) {
    int status = 0;
    pid_t result = ::waitpid(process.pid, &status, WNOHANG);
    if (result == process.pid) {
      process.exited = true;
      process.exit_code = process.terminated ? process.terminate_code : ExitCodeOfStatus(status);
      return true;
    }
    if (result < 0 && errno == ECHILD) {
      process.exited = true;  // reaped elsewhere; the status is lost
      process.exit_code = process.terminated ? process.terminate_code : 0;
      return true;
    }
    return false;
  }
  struct pollfd ready = {process.pidfd, POLLIN, 0};
  if (process.pidfd >= 0 && ::poll(&ready, 1, 0) > 0) {
    process.exited = true;
    process.exit_code = process.terminated ? process.terminate_code : 0;
    return true;
  }
  return false;
}

DWORD WaitProcess(ProcessObject& process, DWORD milliseconds) {
  ULONGLONG start = GetTickCount64();
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(process.mutex);
      if (PollProcessLocked(process)) return WAIT_OBJECT_0;
    }
    int slice = INT_MAX;
    if (milliseconds != INFINITE) {
      ULONGLONG elapsed = GetTickCount64() - start;
      if (elapsed >= milliseconds) return WAIT_TIMEOUT;
      slice = static_cast<int>(milliseconds - elapsed);
    }
    struct pollfd ready = {process.pidfd, POLLIN, 0};
    if (process.pidfd >= 0) {
      ::poll(&ready, 1, slice);
    } else {
      Sleep(slice < 10 ? static_cast<DWORD>(slice) : 10);
    }
  }
}

// Splits a command line as the C runtime of Windows does: blanks separate words outside
// quotes; 2n backslashes before a quote give n and toggle quoting, 2n+1 give n and a literal
// quote; "" inside quotes is a literal quote; other backslashes are literal. The program name
// (first word) takes no backslash escapes.
std::vector<std::string> SplitCommandLine(const char* line) {
  std::vector<std::string> words;
  const char* at = line;
  while (*at == ' ' || *at == '\t') ++at;
  if (*at == '\0') return words;
  std::string program;
  if (*at == '"') {
    ++at;
    while (*at != '\0' && *at != '"') program += *at++;
    if (*at == '"') ++at;
  } else {
    while (*at != '\0' && *at != ' ' && *at != '\t') program += *at++;
  }
  words.push_back(program);
  for (;;) {
    while (*at == ' ' || *at == '\t') ++at;
    if (*at == '\0') break;
    std::string word;
    bool quoted = false;
    while (*at != '\0' && (quoted || (*at != ' ' && *at != '\t'))) {
      if (*at == '\\') {
        std::size_t count = 0;
        while (*at == '\\') {
          ++count;
          ++at;
        }
        if (*at == '"') {
          word.append(count / 2, '\\');
          if (count % 2 == 1) {
            word += '"';
            ++at;
          }
        } else {
          word.append(count, '\\');
        }
      } else if (*at == '"') {
        if (quoted && at[1] == '"') {
          word += '"';
          at += 2;
        } else {
          quoted = !quoted;
          ++at;
        }
      } else {
        word += *at++;
      }
    }
    words.push_back(word);
  }
  return words;
}

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The name as given, else without a trailing ".exe": programs carry no suffix here.
std::string ExecutableVariant(const std::string& path) {
  if (IsExecutableFile(path)) return path;
  if (path.size() > 4 && _stricmp(path.c_str() + path.size() - 4, ".exe") == 0) {
    std::string bare = path.substr(0, path.size() - 4);
    if (IsExecutableFile(bare)) return bare;
  }
  return std::string();
}

std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ExecutableVariant(name);
  std::vector<std::string> directories;
  char own[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", own, sizeof own - 1);
  if (length > 0) {
    std::string program(own, static_cast<std::size_t>(length));
    directories.push_back(program.substr(0, program.find_last_of('/')));
  }
  char current[PATH_MAX];
  if (::getcwd(current, sizeof current) != nullptr) directories.emplace_back(current);
  if (const char* search = std::getenv("PATH")) {
    std::string list = search;
    std::string::size_type start = 0;
    while (start <= list.size()) {
      std::string::size_type end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) directories.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& directory : directories) {
    std::string found = ExecutableVariant(directory + "/" + name);
    if (!found.empty()) return found;
  }
  return std::string();
}

// Windows reads an unquoted program path with blanks a word at a time: for "a b c d" it
// tries "a", then "a b", then "a b c", ..., and runs the first that names a program, with
// the rest of the line as its arguments. The words of the line with that program first,
// and its file in *program_r; nothing found leaves *program_r empty.
std::vector<std::string> FindUnquotedProgram(const char* line, std::string* program_r) {
  const char* start = line;
  while (*start == ' ' || *start == '\t') ++start;
  if (*start == '"') return SplitCommandLine(line);
  const char* end = start;
  while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
  while (*end != '\0') {
    while (*end == ' ' || *end == '\t') ++end;
    while (*end != '\0' && *end != ' ' && *end != '\t') ++end;
    const std::string candidate(start, end);
    *program_r = ResolveProgram(candidate);
    if (!program_r->empty())
      return SplitCommandLine(("\"" + candidate + "\"" + std::string(end)).c_str());
  }
  return SplitCommandLine(line);
}

// A Windows environment block: "NAME=value\0...\0\0".
std::vector<std::string> SplitEnvironmentBlock(const char* block) {
  std::vector<std::string> entries;
  while (*block != '\0') {
    entries.emplace_back(block);
    block += entries.back().size() + 1;
  }
  return entries;
}

}  // namespace

win32internal::ProcessObject::~ProcessObject() {
  bool reap = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    reap = child && !PollProcessLocked(*this);
  }
  if (pidfd >= 0) ::close(pidfd);
  if (reap) {
    // Windows leaves no zombie behind a closed handle; collect the child when it ends.
    pid_t orphan = pid;
    std::thread([orphan] {
      int status = 0;
      while (::waitpid(orphan, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD thread_id) {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<ThreadObject>();
  thread->start = start;
  thread->parameter = parameter;
  pthread_attr_t thread_attributes;
  ::pthread_attr_init(&thread_attributes);
  ::pthread_attr_setdetachstate(&thread_attributes, PTHREAD_CREATE_DETACHED);
  if (stack_size >= static_cast<SIZE_T>(PTHREAD_STACK_MIN)) ::pthread_attr_setstacksize(&thread_attributes, stack_size);
  auto* owner = new std::shared_ptr<ThreadObject>(thread);
  pthread_t id;
  int result = ::pthread_create(&id, &thread_attributes, ThreadTop, owner);
  ::pthread_attr_destroy(&thread_attributes);
  if (result != 0) {
    delete owner;
    SetLastError(result == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY
                                  : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(result)));
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(thread->mutex);
    thread->finished_changed.wait(lock, [&thread] { return thread->started; });
    if (thread_id != nullptr) *thread_id = thread->thread_id;
  }
  SetLastError(ERROR_SUCCESS);
  return win32internal::InsertHandle(thread);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code) {
  auto object = win32internal::LookupHandle<ThreadObject>(thread);
  if (object == nullptr || exit_code == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(object->mutex);
  *exit_code = object->finished ? object->exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD exit_code) {
  auto object = win32internal::LookupHandle<ThreadObject>(thread);
  if (object == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  {
    std::lock_guard<std::mutex> lock(object->mutex);
    object->terminated = true;
  }
  // The thread runs on, detached; its handle is signalled now and keeps this exit code.
  FinishThread(*object, exit_code);
  return TRUE;
}

void ExitThread(DWORD exit_code) {
  if (t_current_thread != nullptr) {
    FinishThread(*t_current_thread, exit_code);
    t_current_thread.reset();
  }
  ::pthread_exit(nullptr);
}

BOOL CreateProcess(LPCSTR application_name, LPSTR command_line,
                   LPSECURITY_ATTRIBUTES process_attributes,
                   LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD flags,
                   LPVOID environment, LPCSTR current_directory, LPSTARTUPINFO startup_info,
                   LPPROCESS_INFORMATION process_information) {
  if (process_information == nullptr ||
      (application_name == nullptr && (command_line == nullptr || *command_line == '\0'))) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::string> words =
      SplitCommandLine(command_line != nullptr ? command_line : "");
  std::string program_name = application_name != nullptr ? application_name : words.at(0);
  if (words.empty()) words.push_back(program_name);
  std::string program = ResolveProgram(program_name);
  if (program.empty() && application_name == nullptr)
    words = FindUnquotedProgram(command_line, &program);
  if (program.empty()) return win32internal::Fail(ERROR_FILE_NOT_FOUND);
  if (current_directory != nullptr) {
    struct stat info {};
    if (::stat(current_directory, &info) != 0 || !S_ISDIR(info.st_mode)) {
      return win32internal::Fail(ERROR_DIRECTORY);
    }
  }

  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(word.data());
  arguments.push_back(nullptr);
  // The child runs on the same machine: its root variable names this process's root, made
  // absolute, whatever the environment it was given says.
  std::vector<std::string> environment_entries;
  if (environment != nullptr) {
    environment_entries = SplitEnvironmentBlock(static_cast<const char*>(environment));
  } else {
    for (char** entry = environ; *entry != nullptr; ++entry) environment_entries.emplace_back(*entry);
  }
  std::string root = vtplatform::SystemRoot();
  if (!root.empty()) {
    std::string prefix = std::string(vtplatform::kRootVariable) + "=";
    std::erase_if(environment_entries, [&prefix](const std::string& entry) {
      return entry.compare(0, prefix.size(), prefix) == 0;
    });
    environment_entries.push_back(prefix + root);
  }
  std::vector<char*> environment_pointers;
  for (std::string& entry : environment_entries) environment_pointers.push_back(entry.data());
  environment_pointers.push_back(nullptr);
  char** child_environment = environment_pointers.data();

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (current_directory != nullptr) {
    ::posix_spawn_file_actions_addchdir_np(&actions, current_directory);
  }
  // A detached process has no console: its standard streams go nowhere and it leads a
  // session of its own, so that whoever waits on the starter's terminal or pipes does not
  // wait on it too.
  const bool detached = (flags & DETACHED_PROCESS) != 0;
  if (detached) {
    for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
      ::posix_spawn_file_actions_addopen(&actions, stream, "/dev/null",
                                         stream == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    }
  }
  posix_spawnattr_t spawn_attributes;
  ::posix_spawnattr_init(&spawn_attributes);
  // The child starts with default signal handling, as a new Windows process would.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  ::posix_spawnattr_setsigdefault(&spawn_attributes, &defaults);
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  ::posix_spawnattr_setsigmask(&spawn_attributes, &empty_mask);
  short spawn_flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (detached) spawn_flags |= POSIX_SPAWN_SETSID;
  ::posix_spawnattr_setflags(&spawn_attributes, spawn_flags);
  pid_t pid = -1;
  int result = ::posix_spawn(&pid, program.c_str(), &actions, &spawn_attributes,
                             arguments.data(), child_environment);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&spawn_attributes);
  if (result != 0) {
    return win32internal::Fail(result == ENOENT ? ERROR_FILE_NOT_FOUND
                               : result == ENOEXEC
                                   ? ERROR_BAD_EXE_FORMAT
                                   : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(result)));
  }
  auto process = std::make_shared<ProcessObject>();
  process->pid = pid;
  process->child = true;
  process->pidfd = PidfdOpen(pid);
  process_information->hProcess = win32internal::InsertHandle(process);
  process_information->hThread = win32internal::InsertHandle(process);
  process_information->dwProcessId = static_cast<DWORD>(pid);
  process_information->dwThreadId = static_cast<DWORD>(pid);  // the main thread's id is the pid
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exit_code) {
  if (exit_code == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (process == GetCurrentProcess()) {
    *exit_code = STILL_ACTIVE;
    return TRUE;
  }
  auto object = win32internal::LookupHandle<ProcessObject>(process);
  if (object == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(object->mutex);
  *exit_code = PollProcessLocked(*object) ? object->exit_code : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
  if (process == GetCurrentProcess()) ::_exit(static_cast<int>(exit_code));
  auto object = win32internal::LookupHandle<ProcessObject>(process);
  if (object == nullptr) return win32internal::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(object->mutex);
  if (PollProcessLocked(*object)) return win32internal::Fail(ERROR_ACCESS_DENIED);
  object->terminated = true;
  object->terminate_code = exit_code;
  int result = object->pidfd >= 0 ? PidfdKill(object->pidfd, SIGKILL)
                                   : ::kill(object->pid, SIGKILL);
  if (result != 0) return win32internal::FailFromErrno();
  return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id) {
  int pidfd = PidfdOpen(static_cast<pid_t>(process_id));
  if (pidfd < 0) {
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER
                                : static_cast<DWORD>(vtplatform::Win32ErrorFromErrno(errno)));
    return nullptr;
  }
  auto process = std::make_shared<ProcessObject>();
  process->pid = static_cast<pid_t>(process_id);
  process->pidfd = pidfd;
  return win32internal::InsertHandle(process);
}

void ExitProcess(UINT exit_code) { std::exit(static_cast<int>(exit_code)); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  win32internal::HandleTarget target;
  if (!win32internal::CopyHandleTarget(handle, &target)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (auto* named = std::get_if<std::shared_ptr<win32internal::NamedObjectHandle>>(&target)) {
    return win32internal::WaitNamedObject(**named, milliseconds);
  }
  if (auto* thread = std::get_if<std::shared_ptr<ThreadObject>>(&target)) {
    return WaitThread(**thread, milliseconds);
  }
  if (auto* process = std::get_if<std::shared_ptr<ProcessObject>>(&target)) {
    return WaitProcess(**process, milliseconds);
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  ULONGLONG start = GetTickCount64();
  auto remaining = [&]() -> DWORD {
    if (milliseconds == INFINITE) return INFINITE;
    ULONGLONG elapsed = GetTickCount64() - start;
    return elapsed >= milliseconds ? 0 : static_cast<DWORD>(milliseconds - elapsed);
  };
  if (wait_all) {
    // Taken one after another rather than all at once; the system never waits on several
    // objects that another thread takes in a different order.
    bool abandoned = false;
    for (DWORD i = 0; i < count; ++i) {
      DWORD result = WaitForSingleObject(handles[i], remaining());
      if (result == WAIT_TIMEOUT || result == WAIT_FAILED) return result;
      abandoned = abandoned || result == WAIT_ABANDONED;
    }
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
  }
  constexpr DWORD kPollMs = 5;
  for (;;) {
    for (DWORD i = 0; i < count; ++i) {
      DWORD result = WaitForSingleObject(handles[i], 0);
      if (result == WAIT_FAILED) return result;
      if (result == WAIT_OBJECT_0) return WAIT_OBJECT_0 + i;
      if (result == WAIT_ABANDONED) return WAIT_ABANDONED_0 + i;
    }
    DWORD left = remaining();
    if (left == 0) return WAIT_TIMEOUT;
    Sleep(left < kPollMs ? left : kPollMs);
  }
}
