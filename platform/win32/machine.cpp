// machine.cpp - the root directory, the machine identity and the version calls.
//
// Owns the process-wide root override and identity, both guarded by g_machine_mutex.
#include "platform/win32/machine.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/win32/internal.h"
#include "platform/win32/windows.h"

namespace vtplatform {
namespace {

std::mutex g_machine_mutex;
std::string g_root_override;        // guarded by g_machine_mutex
MachineIdentity g_identity;         // guarded by g_machine_mutex
bool g_root_warning_given = false;  // guarded by g_machine_mutex

}  // namespace

std::string SystemRoot() {
  std::lock_guard<std::mutex> lock(g_machine_mutex);
  std::string root = g_root_override;
  if (root.empty()) {
    const char* from_environment = std::getenv(kRootVariable);
    if (from_environment != nullptr) root = from_environment;
  }
  if (root.empty()) {
    if (!g_root_warning_given) {
      g_root_warning_given = true;
      std::fprintf(stderr, "VT_SYSROOT is not set: no machine root, Windows calls will fail\n");
    }
    return root;
  }
  while (root.size() > 1 && root.back() == kPathSep) root.pop_back();
  return root;
}

void SetSystemRoot(const std::string& path) {
  {
    std::lock_guard<std::mutex> lock(g_machine_mutex);
    g_root_override = path;
  }
  win32internal::OnRootChanged();
}

std::string RootPath(const std::string& relative) {
  std::string root = SystemRoot();
  if (root.empty()) return root;
  if (relative.empty()) return root;
  return root + kPathSep + relative;
}

MachineIdentity GetMachineIdentity() {
  std::lock_guard<std::mutex> lock(g_machine_mutex);
  return g_identity;
}

void SetMachineIdentity(const MachineIdentity& identity) {
  std::lock_guard<std::mutex> lock(g_machine_mutex);
  g_identity = identity;
}

void ResetMachineIdentity() {
  std::lock_guard<std::mutex> lock(g_machine_mutex);
  g_identity = MachineIdentity{};
}

}  // namespace vtplatform
