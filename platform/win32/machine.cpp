// machine.cpp - the root directory, the machine identity and the version calls.
//
// Owns the process-wide root override and identity, both guarded by g_machine_mutex.
#include "platform/win32/machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <mutex>

#include "platform/win32/internal.h"
#include "platform/win32/windows.h"

namespace vtplatform {
namespace {

// The files and directories the system makes are its account's own, as the ACL of the
// install directory keeps them on the machine the system was written for: other local users
// can read neither the mail passing through the spool nor the databases, the settings or the
// logs. Set when a program of the system (or a server task that loads its libraries) starts,
// before it makes any file.
const mode_t g_creation_mask = ::umask(kCreationMask);

std::mutex g_machine_mutex;
std::string g_root_override;        // guarded by g_machine_mutex, always absolute
std::string g_environment_raw;      // guarded by g_machine_mutex: VT_SYSROOT as last seen
std::string g_environment_root;     // guarded by g_machine_mutex: the same made absolute
MachineIdentity g_identity;         // guarded by g_machine_mutex
bool g_root_warning_given = false;  // guarded by g_machine_mutex

// A relative root is made absolute once, against the directory current at that time, so that
// a later change of directory (or a child started elsewhere) still names the same machine.
std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == kPathSep) return path;
  char current[4096];
  if (::getcwd(current, sizeof current) == nullptr) return path;
  return std::string(current) + kPathSep + path;
}

}  // namespace

std::string SystemRoot() {
  std::lock_guard<std::mutex> lock(g_machine_mutex);
  std::string root = g_root_override;
  if (root.empty()) {
    const char* from_environment = std::getenv(kRootVariable);
    if (from_environment != nullptr && *from_environment != '\0') {
      if (g_environment_raw != from_environment) {
        g_environment_raw = from_environment;
        g_environment_root = Absolute(g_environment_raw);
      }
      root = g_environment_root;
    }
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
    g_root_override = Absolute(path);
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

namespace {

template <typename Info>
void FillVersion(Info* info, const vtplatform::MachineIdentity& identity) {
  info->dwMajorVersion = identity.major;
  info->dwMinorVersion = identity.minor;
  // The 9x family kept the version in the high word of the build number.
  info->dwBuildNumber = identity.nt_family
                            ? identity.build
                            : ((identity.major << 24) | (identity.minor << 16) |
                               (identity.build & 0xFFFFu));
  info->dwPlatformId = identity.nt_family ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
}

}  // namespace

BOOL GetVersionEx(LPOSVERSIONINFO info) {
  if (info == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEX)) {
    return GetVersionEx(reinterpret_cast<LPOSVERSIONINFOEX>(info));
  }
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFO)) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  FillVersion(info, vtplatform::GetMachineIdentity());
  return TRUE;
}

BOOL GetVersionEx(LPOSVERSIONINFOEX info) {
  if (info == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFO)) {
    return GetVersionEx(reinterpret_cast<LPOSVERSIONINFO>(info));
  }
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEX)) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  vtplatform::MachineIdentity identity = vtplatform::GetMachineIdentity();
  FillVersion(info, identity);
  info->wServicePackMajor = 0;
  info->wServicePackMinor = 0;
  info->wSuiteMask = 0;
  info->wProductType = 0;
  info->wReserved = 0;
  if (identity.nt_family) {
    info->wProductType = VER_NT_SERVER;
    // NT 4 and older carry Terminal Server in the registry ("ProductSuite"), not here.
    if (identity.terminal_server && identity.major >= 5) info->wSuiteMask = VER_SUITE_TERMINAL;
  }
  return TRUE;
}

DWORD GetVersion() {
  vtplatform::MachineIdentity identity = vtplatform::GetMachineIdentity();
  DWORD version = (identity.major & 0xFFu) | ((identity.minor & 0xFFu) << 8);
  if (identity.nt_family) return version | ((identity.build & 0x7FFFu) << 16);
  return version | 0x80000000u;
}

BOOL GetUserName(LPSTR buffer, LPDWORD size) {
  if (size == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  std::string name = vtplatform::GetMachineIdentity().account_name;
  auto needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return win32internal::Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, name.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL GetComputerName(LPSTR buffer, LPDWORD size) {
  if (size == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return win32internal::FailFromErrno();
  std::string name = host;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return win32internal::Fail(ERROR_BUFFER_OVERFLOW);
  }
  std::memcpy(buffer, name.c_str(), needed);
  *size = needed - 1;
  return TRUE;
}
