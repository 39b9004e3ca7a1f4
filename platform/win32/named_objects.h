// named_objects.h - mutexes and events shared by every process of one root.
//
// What it is for: CreateMutex/CreateEvent and their waits. Each object is one small block of
// shared memory, a file named after a hash of the object name and mapped by every process
// that holds a handle. The blocks of a root live in a directory of the account's own (mode
// 0700, never a link): in /dev/shm where the machine has it as a tmpfs, under a name nobody
// can foresee that "<root>/.objects-location" records, else (or with
// VT_OBJECTS_BELOW_ROOT=1) "<root>/.objects". Other local users can neither create, open nor
// signal the objects, nor plant links where they will be made; a block's memory is reserved
// when it is made, so a full /dev/shm is an error return, not SIGBUS. Unnamed objects use a
// private block of the same layout.
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

#include <memory>
#include <string>

#include "platform/win32/windows.h"

namespace win32internal {

struct SharedBlock;

enum class ObjectKind : std::uint32_t { kMutex = 1, kEvent = 2 };

// The directory of one root's blocks, held open: blocks are opened relative to it, so that
// a name planted where the directory was cannot redirect them.
struct BlockDirectory {
  int fd = -1;
  std::string path;
  ~BlockDirectory();
  // True once the directory was removed (an empty one is swept) since it was opened.
  [[nodiscard]] bool Gone() const;
};

struct NamedObjectHandle {
  SharedBlock* block = nullptr;
  int fd = -1;            // the block file; -1 for an unnamed object
  std::shared_ptr<BlockDirectory> directory;  // holds the block file
  std::string file_name;  // the block file's name in the directory
  ObjectKind kind = ObjectKind::kMutex;
  ~NamedObjectHandle();
};

// The file of the block that holds the named object `name` for the current root; empty
// without a root or when the root's block directory is refused.
[[nodiscard]] std::string BlockFilePath(const char* name);

// Waits on a mutex or event; returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT or WAIT_FAILED.
[[nodiscard]] DWORD WaitNamedObject(NamedObjectHandle& object, DWORD milliseconds);

// Whether a wait would succeed at once, without taking the object (for waits on several).
[[nodiscard]] DWORD TryNamedObject(NamedObjectHandle& object);

}  // namespace win32internal
