// hooks.cpp - database hook vectors: loading hook libraries, installing vectors, dispatch.
//
// The registry of vectors is copied out under its lock before any hook runs, so a hook may
// call Notes (and so the dispatch) again on the same thread, and another thread may install
// a vector meanwhile. Vectors live in std::list nodes so the pointer handed to an entry
// routine stays valid for the life of the installation.
#include <dlfcn.h>

#include <algorithm>
#include <list>

#include "platform/notes/notes_internal.h"

namespace notes_internal {
namespace {

struct HookRegistry {
  std::mutex mutex;
  std::list<DBHOOKVEC> vectors;
  std::vector<std::string> loaded_paths;  // libraries already loaded by this process
};

HookRegistry& Registry() {
  static HookRegistry* registry = new HookRegistry;  // lives past static destructors
  return *registry;
}

std::vector<DBHOOKVEC*> Snapshot() {
  HookRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::vector<DBHOOKVEC*> vectors;
  for (DBHOOKVEC& vector : registry.vectors) vectors.push_back(&vector);
  return vectors;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

STATUS RunOpenHooks(DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD flags) {
  char user[] = "";
  for (DBHOOKVEC* vector : Snapshot()) {
    if (vector->NoteOpen == nullptr) continue;
    STATUS status = vector->NoteOpen(vector, user, nullptr, db, id, note, flags);
    if (status != NOERROR) return status;
  }
  return NOERROR;
}

STATUS RunUpdateHooks(DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD* flags) {
  char user[] = "";
  for (DBHOOKVEC* vector : Snapshot()) {
    if (vector->NoteUpdate == nullptr) continue;
    STATUS status = vector->NoteUpdate(vector, user, nullptr, db, id, note, flags);
    if (status != NOERROR) return status;
  }
  return NOERROR;
}

void RunTermHooks() {
  for (DBHOOKVEC* vector : Snapshot()) {
    if (vector->Term != nullptr) (void)vector->Term(vector);
  }
}

}  // namespace notes_internal

using namespace notes_internal;

DBHOOKVEC* VtInstallHookVector(const DBHOOKVEC& vector) {
  HookRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.vectors.push_back(vector);
  return &registry.vectors.back();
}

DBHOOKVEC* VtInstallHookEntry(DBHOOKENTRYPROC entry) {
  if (entry == nullptr) return nullptr;
  // The entry fills a vector of its own first; only then does the dispatch see it, so a
  // half-filled vector is never called.
  DBHOOKVEC vector{};
  (void)entry(&vector);
  if (vector.Term == nullptr && vector.NoteOpen == nullptr && vector.NoteUpdate == nullptr) {
    return nullptr;
  }
  return VtInstallHookVector(vector);
}

void VtRemoveHooks() {
  HookRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.vectors.clear();
  // A later load installs the libraries' hooks again (their code stays mapped).
  registry.loaded_paths.clear();
}

STATUS VtLoadHookLibrary(const char* path) {
  if (path == nullptr || *path == '\0') return ERR_BAD_PARAM;
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return ERR_HOOK_LOAD;
  auto entry = reinterpret_cast<DBHOOKENTRYPROC>(::dlsym(library, DBHOOK_ENTRY_NAME));
  if (entry == nullptr) {
    ::dlclose(library);
    return ERR_HOOK_LOAD;
  }
  // The library stays loaded for the life of the process: its hooks may be running on
  // other threads, and its own threads may outlive NotesTerm.
  (void)VtInstallHookEntry(entry);
  return NOERROR;
}

STATUS VtLoadHookLibraries() {
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  char value[1024];
  std::string names;
  if (OSGetEnvironmentString("NSF_HOOKS", value, sizeof value)) names = value;
  STATUS first_failure = NOERROR;
  size_t start = 0;
  while (start <= names.size()) {
    size_t comma = names.find(',', start);
    if (comma == std::string::npos) comma = names.size();
    std::string name = Trim(names.substr(start, comma - start));
    start = comma + 1;
    if (name.empty()) continue;
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
      candidates.push_back(name);
    } else {
      std::string dir = ProgramDirectory() + "/";
      candidates.push_back(dir + name);
      candidates.push_back(dir + name + ".so");
      candidates.push_back(dir + "lib" + name + ".so");
    }
    bool loaded = false;
    for (const std::string& candidate : candidates) {
      {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        auto& paths = Registry().loaded_paths;
        if (std::find(paths.begin(), paths.end(), candidate) != paths.end()) {
          loaded = true;
          break;
        }
      }
      if (VtLoadHookLibrary(candidate.c_str()) == NOERROR) {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        Registry().loaded_paths.push_back(candidate);
        loaded = true;
        break;
      }
    }
    if (!loaded && first_failure == NOERROR) first_failure = ERR_HOOK_LOAD;
  }
  return first_failure;
}
