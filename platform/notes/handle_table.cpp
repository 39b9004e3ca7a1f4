// handle_table.cpp - the process-wide table behind every DHANDLE.
//
// Handles are numbers that are never reused within a process run, so a stale handle (closed,
// freed) can never reach a newer object: it is simply not in the table. A handle of one kind
// passed where another kind is expected is told apart from an unknown one, so the status text
// says which mistake was made.
#include <unordered_map>

#include "platform/notes/notes_internal.h"

namespace notes_internal {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<DHANDLE, HandleObject> objects;
  DHANDLE next = 0x0100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives past static destructors
  return *table;
}

template <typename T>
STATUS FindTyped(DHANDLE handle, T* object_r) {
  HandleObject object;
  if (!FindHandle(handle, &object)) return ERR_INVALID_HANDLE;
  if (auto* typed = std::get_if<T>(&object)) {
    *object_r = *typed;
    return NOERROR;
  }
  return ERR_HANDLE_KIND;
}

}  // namespace

DHANDLE AddHandle(HandleObject object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  DHANDLE handle = table.next++;
  if (table.next == NULLHANDLE) table.next = 0x0100;
  table.objects.emplace(handle, std::move(object));
  return handle;
}

bool RemoveHandle(DHANDLE handle, HandleObject* object_r) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(handle);
  if (found == table.objects.end()) return false;
  if (object_r != nullptr) *object_r = std::move(found->second);
  table.objects.erase(found);
  return true;
}

bool FindHandle(DHANDLE handle, HandleObject* object_r) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(handle);
  if (found == table.objects.end()) return false;
  *object_r = found->second;
  return true;
}

void ClearHandles(std::vector<HandleObject>* objects_r) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  for (auto& entry : table.objects) objects_r->push_back(std::move(entry.second));
  table.objects.clear();
}

STATUS FindDatabase(DHANDLE handle, DatabasePtr* db_r) {
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  return FindTyped(handle, db_r);
}

STATUS FindNote(DHANDLE handle, NotePtr* note_r) {
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  return FindTyped(handle, note_r);
}

STATUS FindMemory(DHANDLE handle, std::shared_ptr<MemoryBlock>* block_r) {
  return FindTyped(handle, block_r);
}

STATUS FindBodyItem(DHANDLE handle, std::shared_ptr<BodyItem>* item_r) {
  return FindTyped(handle, item_r);
}

}  // namespace notes_internal
