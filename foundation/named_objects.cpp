// named_objects.cpp - named mutexes, platform classes and the engine-presence test (see
// named_objects.h).
#include "foundation/named_objects.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/utilities.h"

namespace foundation {
namespace {

constexpr const char* kProductOptionsKey = "System\\CurrentControlSet\\Control\\ProductOptions";
constexpr const char* kLowIntegrityLabel = "S:(ML;;NW;;;LW)";
constexpr const char* kNetworkServiceDescriptor = "D:(A;;GA;;;S-1-5-20)";
constexpr const char* kNetworkServiceSid = "S-1-5-20";
constexpr const char* kNetworkServiceAccount = "NETWORK SERVICE";

bool ReadVersion(OSVERSIONINFOEX& version) {
  version = OSVERSIONINFOEX{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (GetVersionEx(&version)) return true;
  // Systems before NT 4 SP6 know only the short record.
  OSVERSIONINFO basic{};
  basic.dwOSVersionInfoSize = sizeof(basic);
  if (!GetVersionEx(&basic)) return false;
  version.dwMajorVersion = basic.dwMajorVersion;
  version.dwMinorVersion = basic.dwMinorVersion;
  version.dwBuildNumber = basic.dwBuildNumber;
  version.dwPlatformId = basic.dwPlatformId;
  version.wSuiteMask = 0;
  return true;
}

// NT 4 and older name Terminal Server in a multi-string of the registry.
bool ProductSuiteNamesTerminalServer() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = 0;
  bool found = false;
  if (RegQueryValueEx(key, "ProductSuite", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_MULTI_SZ && size > 0) {
    std::vector<char> suites(size + 2, '\0');  // two NULs more: the list ends even if cut
    if (RegQueryValueEx(key, "ProductSuite", nullptr, &type,
                        reinterpret_cast<LPBYTE>(suites.data()), &size) == ERROR_SUCCESS) {
      for (const char* entry = suites.data(); *entry != '\0' && entry < suites.data() + size;
           entry += std::strlen(entry) + 1) {
        if (std::strcmp(entry, "Terminal Server") == 0) found = true;
      }
    }
  }
  RegCloseKey(key);
  return found;
}

// Security descriptors converted from text, freed with LocalFree.
struct LocalDescriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  LocalDescriptor() = default;
  LocalDescriptor(const LocalDescriptor&) = delete;
  LocalDescriptor& operator=(const LocalDescriptor&) = delete;
  ~LocalDescriptor() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

// The low-integrity label, converted once per process and kept for its lifetime.
PSECURITY_DESCRIPTOR LowIntegrityDescriptor() {
  static LocalDescriptor label;
  static std::once_flag once;
  std::call_once(once, [] {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptor(kLowIntegrityLabel, SDDL_REVISION_1,
                                                             &label.descriptor, nullptr)) {
      label.descriptor = nullptr;
    }
  });
  return label.descriptor;
}

// The attributes CreateNamedMutex builds: open to everybody, with the label or the network
// service descriptor when those apply. Freed with the record.
struct BuiltAttributes {
  SECURITY_DESCRIPTOR open_descriptor{};
  SECURITY_ATTRIBUTES attributes{};
  LocalDescriptor network_service;
  bool built = false;

  void Build(bool low_integrity) {
    const PlatformClass platform = ClassifyPlatform();
    if (!platform.nt_family) return;
    if (!InitializeSecurityDescriptor(&open_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&open_descriptor, TRUE, nullptr, FALSE)) {
      return;
    }
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    attributes.lpSecurityDescriptor = &open_descriptor;
    built = true;
    if (low_integrity && platform.windows6_or_later) {
      PSECURITY_DESCRIPTOR label = LowIntegrityDescriptor();
      BOOL present = FALSE;
      BOOL defaulted = FALSE;
      PACL sacl = nullptr;
      if (label != nullptr && GetSecurityDescriptorSacl(label, &present, &sacl, &defaulted)) {
        SetSecurityDescriptorSacl(&open_descriptor, TRUE, sacl, FALSE);
      }
    } else if (IsNetworkService()) {
      if (ConvertStringSecurityDescriptorToSecurityDescriptor(
              kNetworkServiceDescriptor, SDDL_REVISION_1, &network_service.descriptor, nullptr)) {
        attributes.lpSecurityDescriptor = network_service.descriptor;
      } else {
        network_service.descriptor = nullptr;  // the open descriptor stays
      }
    }
  }
};

}  // namespace

PlatformClass ClassifyPlatform() {
  PlatformClass platform;
  OSVERSIONINFOEX version;
  if (!ReadVersion(version)) return platform;
  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    platform.nt_family = true;
    platform.windows_2000 = version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
    platform.xp = version.dwMajorVersion == 5 && version.dwMinorVersion == 1;
    platform.server_2003 = version.dwMajorVersion == 5 && version.dwMinorVersion == 2;
    platform.windows6_or_later = version.dwMajorVersion >= 6;
  } else if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    platform.win9x = true;
  }
  return platform;
}

bool IsXp() { return ClassifyPlatform().xp; }

bool IsWindows6OrLater() { return ClassifyPlatform().windows6_or_later; }

bool IsTerminalServer() {
  OSVERSIONINFOEX version;
  if (!ReadVersion(version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
  if (version.dwMajorVersion >= 5) return (version.wSuiteMask & VER_SUITE_TERMINAL) != 0;
  return ProductSuiteNamesTerminalServer();
}

std::string QualifyObjectName(std::string_view name) {
  std::string qualified(name);
  if (name.empty() || StartsWithNoCase(name, "Global\\") || StartsWithNoCase(name, "Local\\")) {
    return qualified;
  }
  if (IsTerminalServer() || IsXp() || IsWindows6OrLater()) qualified.insert(0, "Global\\");
  return qualified;
}

HANDLE CreateNamedMutex(LPSECURITY_ATTRIBUTES fallback, bool initially_owned, const char* name,
                        bool secure, bool low_integrity) {
  const bool named = name != nullptr && *name != '\0';
  const std::string qualified = named ? QualifyObjectName(name) : std::string();
  if (qualified.size() > kMaxObjectNameLength) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  HANDLE mutex = nullptr;
  DWORD creation_error = 0;
  {
    BuiltAttributes built;
    if (secure || low_integrity) built.Build(low_integrity);
    mutex = CreateMutex(built.built ? &built.attributes : fallback,
                        initially_owned ? TRUE : FALSE, named ? qualified.c_str() : nullptr);
    creation_error = GetLastError();
  }
  // Freeing the attributes must not hide ERROR_ALREADY_EXISTS from the caller.
  SetLastError(creation_error);
  return mutex;
}

int OpenMutexForUse(HANDLE& handle, bool initially_owned, const char* name) {
  handle = CreateNamedMutex(nullptr, initially_owned, name, true, false);
  return handle != nullptr ? 0 : -1;
}

int WaitObject(HANDLE handle, DWORD timeout_ms) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  const DWORD result = WaitForSingleObject(handle, timeout_ms);
  return (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ? 0 : -1;
}

int ReleaseNamedMutex(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  return ReleaseMutex(handle) ? 0 : -1;
}

void CloseObject(HANDLE& slot) {
  HANDLE handle = slot;
  slot = nullptr;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  try {
    CloseHandle(handle);
  } catch (...) {
    // A handle closed elsewhere must not take the caller down with it.
  }
}

bool IsNetworkService(std::string* user_name) {
  if (user_name != nullptr) user_name->clear();
  if (ClassifyPlatform().nt_family) {
    char account[UNLEN + 1] = {};
    DWORD size = sizeof(account);
    if (GetUserName(account, &size)) {
      if (user_name != nullptr) *user_name = account;
      std::string upper(account);
      std::transform(upper.begin(), upper.end(), upper.begin(),
                     [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
      if (upper == kNetworkServiceAccount) return true;
    }
  }
  // The account name may be localised; the SID of the account is not.
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  UniqueHandle token_owner(token);
  DWORD needed = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<unsigned char> info(needed);
  if (!GetTokenInformation(token, TokenUser, info.data(), needed, &needed)) return false;
  TOKEN_USER user{};
  std::memcpy(&user, info.data(), std::min<std::size_t>(sizeof(user), info.size()));
  LPSTR sid_text = nullptr;
  if (!ConvertSidToStringSid(user.User.Sid, &sid_text) || sid_text == nullptr) return false;
  const bool network_service = std::strcmp(sid_text, kNetworkServiceSid) == 0;
  LocalFree(sid_text);
  return network_service;
}

bool IsEngineRunning(std::string_view install_directory) {
  std::string path(install_directory);
  AddBackslash(path);
  path += kEngineLockFile;
  HANDLE lock = CreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
  }
  CloseHandle(lock);
  // Nobody holds the file: the engine left it behind when it stopped.
  return !DeleteFile(path.c_str());
}

}  // namespace foundation
