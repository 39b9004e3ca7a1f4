// handles.cpp - the handle table and CloseHandle.
//
// g_table_mutex guards g_table and g_next_handle.
#include "platform/win32/handles.h"

#include <mutex>
#include <unordered_map>

namespace win32internal {
namespace {

// Handle numbers start well above the pseudo handles and step by four, as on Windows.
constexpr std::uintptr_t kFirstHandle = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

std::mutex g_table_mutex;
std::unordered_map<std::uintptr_t, HandleTarget> g_table;
std::uintptr_t g_next_handle = kFirstHandle;

}  // namespace

HANDLE InsertHandle(HandleTarget target) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  std::uintptr_t number = g_next_handle;
  g_next_handle += kHandleStep;
  g_table.emplace(number, std::move(target));
  return reinterpret_cast<HANDLE>(number);
}

bool CopyHandleTarget(HANDLE handle, HandleTarget* out) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  auto found = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == g_table.end()) return false;
  *out = found->second;
  return true;
}

bool RemoveHandle(HANDLE handle, HandleTarget* out) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  auto found = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == g_table.end()) return false;
  *out = std::move(found->second);
  g_table.erase(found);
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
