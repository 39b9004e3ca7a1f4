// extension_signal.cpp - telling the real-time extension that an engine has come up.
#include "platform/engine/extension_signal.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace vtengine {
namespace {

std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<std::size_t>(length));
  const std::size_t slash = program.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : program.substr(0, slash);
}

// The loaded updater. Its handle is closed on every path, but the library itself stays
// mapped (RTLD_NODELETE): it carries its own copy of the platform's process-wide state (the
// registry connection, the named-object table), which lives until the process ends and
// would be cut loose, not freed, by an unload.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const std::string& path)
      : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
  ~LoadedLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  [[nodiscard]] void* get() const { return handle_; }

 private:
  void* handle_;
};

}  // namespace

bool SignalEngineStarted(std::string* library_r, std::string* error_r) {
  const std::string directory = ProgramDirectory();
  std::string last_error = "not found";
  for (const std::string& candidate :
       {directory + "/" + kUpdaterLibrary, directory + "/../lib/" + kUpdaterLibrary}) {
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    LoadedLibrary library(candidate);
    if (library.get() == nullptr) {
      const char* reason = ::dlerror();
      last_error = candidate + ": " + (reason ? reason : "cannot be loaded");
      continue;
    }
    using UpdateEntry = int (*)();
    auto update = reinterpret_cast<UpdateEntry>(::dlsym(library.get(), "UpdateDLL"));
    if (update == nullptr) {
      last_error = candidate + " has no UpdateDLL";
      continue;
    }
    (void)update();  // always 0: the updater logs its own failures
    *library_r = candidate;
    return true;
  }
  *error_r = std::string(kUpdaterLibrary) + " beside " + directory + ": " + last_error;
  return false;
}

}  // namespace vtengine
