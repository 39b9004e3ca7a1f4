// win32_helper - the other process in the cross-process tests of the Windows stand-in.
//
// SYNOPSIS
//   win32_helper ROOT COMMAND ARGUMENTS...
//
// DESCRIPTION
//   Runs one COMMAND against the machine root ROOT and exits; the tests start it with
//   CreateProcess and learn its state through named events and its exit code.
//
//   hold-mutex NAME READY        take mutex NAME, set event READY, sleep until killed
//   count NAME FILE TIMES        TIMES times: take NAME, add one to the number in FILE, release
//   single NAME READY            create NAME owned; set READY; sleep until killed
//                                (exit 3 at once if NAME already existed)
//   set-event NAME               set event NAME
//   wait-event NAME MS           exit 0 when NAME is set within MS milliseconds, else 1
//   hold-file PATH READY         open PATH without sharing, set READY, sleep until killed
//   ini-writer PATH PREFIX COUNT write keys PREFIX0..PREFIX<COUNT-1> into [Keys] of PATH
//   args FILE ARGS...            write each argument on its own line into FILE
//   exit CODE                    exit with CODE
//   root FILE                    write the root this process runs on into FILE
//
//   A ROOT of "-" leaves the root to VT_SYSROOT as inherited.
//
// DIAGNOSTICS
//   Exit 2 for a usage error or a failed call, with a line on stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "win32_helper: %s failed (%lu)\n", what,
               static_cast<unsigned long>(GetLastError()));
  std::exit(2);
}

void SetNamedEvent(const char* name) {
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, name);
  if (event == nullptr || !SetEvent(event)) Die("SetEvent");
  // The handle stays open on purpose: the event must outlive this call for the waiter.
}

[[noreturn]] void SleepForever() {
  for (;;) Sleep(1000);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: win32_helper ROOT COMMAND ARGUMENTS...\n");
    return 2;
  }
  if (std::strcmp(argv[1], "-") != 0) vtplatform::SetSystemRoot(argv[1]);
  std::string command = argv[2];
  auto arg = [argc, argv](int index) -> const char* {
    if (index + 3 >= argc) {
      std::fprintf(stderr, "win32_helper: missing argument\n");
      std::exit(2);
    }
    return argv[index + 3];
  };

  if (command == "hold-mutex") {
    HANDLE mutex = CreateMutex(nullptr, FALSE, arg(0));
    if (mutex == nullptr) Die("CreateMutex");
    DWORD result = WaitForSingleObject(mutex, INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) Die("WaitForSingleObject");
    SetNamedEvent(arg(1));
    SleepForever();
  }
  if (command == "count") {
    HANDLE mutex = CreateMutex(nullptr, FALSE, arg(0));
    if (mutex == nullptr) Die("CreateMutex");
    int times = std::atoi(arg(2));
    for (int i = 0; i < times; ++i) {
      if (WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0) Die("WaitForSingleObject");
      // A read-modify-write with a pause in the middle: lost updates show if exclusion fails.
      FILE* file = std::fopen(arg(1), "r+");
      if (file == nullptr) Die("fopen");
      long value = 0;
      if (std::fscanf(file, "%ld", &value) != 1) value = 0;
      SwitchToThread();
      std::rewind(file);
      std::fprintf(file, "%ld\n", value + 1);
      std::fclose(file);
      if (!ReleaseMutex(mutex)) Die("ReleaseMutex");
    }
    CloseHandle(mutex);
    return 0;
  }
  if (command == "single") {
    HANDLE mutex = CreateMutex(nullptr, TRUE, arg(0));
    if (mutex == nullptr) Die("CreateMutex");
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 3;
    SetNamedEvent(arg(1));
    SleepForever();
  }
  if (command == "set-event") {
    HANDLE event = OpenEvent(EVENT_ALL_ACCESS, FALSE, arg(0));
    if (event == nullptr || !SetEvent(event)) Die("SetEvent");
    CloseHandle(event);
    return 0;
  }
  if (command == "wait-event") {
    HANDLE event = CreateEvent(nullptr, FALSE, FALSE, arg(0));
    if (event == nullptr) Die("CreateEvent");
    DWORD result = WaitForSingleObject(event, static_cast<DWORD>(std::atol(arg(1))));
    CloseHandle(event);
    return result == WAIT_OBJECT_0 ? 0 : 1;
  }
  if (command == "hold-file") {
    HANDLE file = CreateFile(arg(0), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Die("CreateFile");
    SetNamedEvent(arg(1));
    SleepForever();
  }
  if (command == "ini-writer") {
    int count = std::atoi(arg(2));
    for (int i = 0; i < count; ++i) {
      std::string key = std::string(arg(1)) + std::to_string(i);
      if (!WritePrivateProfileString("Keys", key.c_str(), std::to_string(i).c_str(), arg(0))) {
        Die("WritePrivateProfileString");
      }
    }
    return 0;
  }
  if (command == "args") {
    FILE* file = std::fopen(arg(0), "w");
    if (file == nullptr) Die("fopen");
    for (int i = 4; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
    std::fclose(file);
    return 0;
  }
  if (command == "exit") return std::atoi(arg(0));
  if (command == "root") {
    FILE* file = std::fopen(arg(0), "w");
    if (file == nullptr) Die("fopen");
    std::fputs(vtplatform::SystemRoot().c_str(), file);
    std::fclose(file);
    return 0;
  }
  std::fprintf(stderr, "win32_helper: unknown command %s\n", command.c_str());
  return 2;
}
