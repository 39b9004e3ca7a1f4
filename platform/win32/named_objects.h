// named_objects.h - mutexes and events shared by every process of one root.
//
// What it is for: CreateMutex/CreateEvent and their waits. Each object is one small block of
// shared memory, a file named after a hash of the root and one of the object name and mapped
// by every process that holds a handle: in /dev/shm where the machine has it as a tmpfs, else
// (or with VT_OBJECTS_BELOW_ROOT=1) below "<root>/.objects". Unnamed objects use a private
// block of the same layout.
//
// Ownership: a NamedObjectHandle owns one mapping and one entry in the block's holder table;
// its destructor drops the entry and, for the last holder, removes the block, so the object
// is gone when its last handle closes. Holders that died are pruned whenever a handle is
// opened or closed, so crashed processes cannot keep an object alive; blocks in /dev/shm that
// only dead processes held are removed by the next process that uses named objects.
//
// Locks: the file lock (flock) of the block file serialises opening and closing, so that no
// process maps a block that the last holder is removing. The block's robust process-shared
// mutex guards its state; it is held only for a few stores, never while sleeping. Waiters sleep
// on a futex over the block's sequence word, bumped on every release and signal, and wake at
// least every kLivenessPollMs to notice a mutex owner that died.
#pragma once

#include <string>

#include "platform/win32/windows.h"

namespace win32internal {

struct SharedBlock;

enum class ObjectKind : std::uint32_t { kMutex = 1, kEvent = 2 };

struct NamedObjectHandle {
  SharedBlock* block = nullptr;
  int fd = -1;            // the block file; -1 for an unnamed object
  std::string path;       // the block file's path
  ObjectKind kind = ObjectKind::kMutex;
  ~NamedObjectHandle();
};

// The file of the block that holds the named object `name` (its session prefix already
// removed) for the current root; empty without a root.
[[nodiscard]] std::string BlockFilePath(const char* name);

// Waits on a mutex or event; returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
[[nodiscard]] DWORD WaitNamedObject(NamedObjectHandle& object, DWORD milliseconds);

// Whether a wait would succeed at once, without taking the object (for waits on several).
[[nodiscard]] DWORD TryNamedObject(NamedObjectHandle& object);

}  // namespace win32internal
