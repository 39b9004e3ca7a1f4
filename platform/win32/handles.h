// handles.h - the table behind every HANDLE the stand-in gives out.
//
// What it is for: a HANDLE is a number in this table, never a pointer, so a stale or made-up
// handle is recognised and fails with ERROR_INVALID_HANDLE instead of touching freed memory.
// Numbers are never reused within a process.
//
// Ownership: the table holds one shared owner of each object; CloseHandle drops it, and the
// object's destructor releases what it holds (the descriptor, the share lock, the named
// object's holder entry). A call in progress on another thread keeps its own shared owner, so
// closing a handle another thread waits on is safe.
//
// Threads: the table is guarded by its own mutex, held only inside these functions.
#pragma once

#include <memory>
#include <variant>

#include "platform/win32/windows.h"

namespace win32internal {

struct FileObject;
struct FindObject;
struct NamedObjectHandle;
struct ThreadObject;
struct ProcessObject;
struct TokenObject {};

using HandleTarget =
    std::variant<std::shared_ptr<FileObject>, std::shared_ptr<FindObject>,
                 std::shared_ptr<NamedObjectHandle>, std::shared_ptr<ThreadObject>,
                 std::shared_ptr<ProcessObject>, std::shared_ptr<TokenObject>>;

[[nodiscard]] HANDLE InsertHandle(HandleTarget target);

// The object behind `handle` when it is of kind T; empty otherwise.
[[nodiscard]] bool CopyHandleTarget(HANDLE handle, HandleTarget* out);

template <typename T>
[[nodiscard]] std::shared_ptr<T> LookupHandle(HANDLE handle) {
  HandleTarget target;
  if (!CopyHandleTarget(handle, &target)) return nullptr;
  if (auto* object = std::get_if<std::shared_ptr<T>>(&target)) return *object;
  return nullptr;
}

// Removes the handle; the returned owner is dropped by the caller (outside the table lock).
[[nodiscard]] bool RemoveHandle(HANDLE handle, HandleTarget* out);

}  // namespace win32internal
