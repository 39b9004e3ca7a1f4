// handles.cpp - the handle table and CloseHandle.
//
// The table's mutex guards its entries and the next handle number.
#include "platform/win32/handles.h"

#include <mutex>
#include <unordered_map>

namespace win32internal {
namespace {

// Handle numbers start well above the pseudo handles and step by four, as on Windows.
constexpr std::uintptr_t kFirstHandle = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

// The table lives until the process ends and is never destroyed: detached threads may still
// use handles while static destructors run at exit, and the objects it holds release nothing
// at exit that the next user does not recover anyway (dead holders are pruned).
struct Table {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, HandleTarget> entries;  // guarded by mutex
  std::uintptr_t next = kFirstHandle;                          // guarded by mutex
};

Table& GetTable() {
  static Table* table = new Table;
  return *table;
}

}  // namespace

HANDLE InsertHandle(HandleTarget target) {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  std::uintptr_t number = table.next;
  table.next += kHandleStep;
  table.entries.emplace(number, std::move(target));
  return reinterpret_cast<HANDLE>(number);
}

bool CopyHandleTarget(HANDLE handle, HandleTarget* out) {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.entries.end()) return false;
  *out = found->second;
  return true;
}

bool RemoveHandle(HANDLE handle, HandleTarget* out) {
  Table& table = GetTable();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.entries.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.entries.end()) return false;
  *out = std::move(found->second);
  table.entries.erase(found);
  return true;
}

}  // namespace win32internal

BOOL CloseHandle(HANDLE handle) {
  win32internal::HandleTarget target;
  {
    win32internal::HandleTarget peek;
    // Find handles are closed with FindClose only, as on Windows.
    if (!win32internal::CopyHandleTarget(handle, &peek) ||
        std::holds_alternative<std::shared_ptr<win32internal::FindObject>>(peek)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (!win32internal::RemoveHandle(handle, &target)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;  // the object's owner goes here, releasing what it held
}
