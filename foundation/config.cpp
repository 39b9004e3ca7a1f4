// config.cpp - installation discovery and the settings stores (see config.h).
#include "foundation/config.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "foundation/named_objects.h"
#include "foundation/utilities.h"

namespace foundation {
namespace {

std::string CutTo(std::string text, std::size_t size) {
  if (size == 0) return {};
  if (text.size() >= size) text.resize(size - 1);
  return text;
}

// Owner of an open registry key.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  [[nodiscard]] LONG Open(HKEY root, const std::string& path, REGSAM access) {
    return RegOpenKeyEx(root, path.c_str(), 0, access, &key_);
  }
  [[nodiscard]] LONG Create(HKEY root, const std::string& path) {
    DWORD disposition = 0;
    return RegCreateKeyEx(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &key_, &disposition);
  }
  [[nodiscard]] HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// Reads a string value whole. ERROR_SUCCESS with the text (up to its first NUL);
// ERROR_INVALID_DATA for a value that is not a string; the registry's code otherwise.
LONG QueryString(HKEY key, const std::string& name, std::string& text) {
  text.clear();
  DWORD type = 0;
  DWORD size = 0;
  LONG result = RegQueryValueEx(key, name.c_str(), nullptr, &type, nullptr, &size);
  // The value may grow between the two calls; a few rounds settle it.
  for (int round = 0; round < 4 && result == ERROR_SUCCESS; ++round) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    std::vector<char> data(std::size_t{size} + 1, '\0');
    DWORD got = size;
    result = RegQueryValueEx(key, name.c_str(), nullptr, &type,
                             reinterpret_cast<LPBYTE>(data.data()), &got);
    if (result == ERROR_MORE_DATA) {
      size = got;
      result = ERROR_SUCCESS;
      continue;
    }
    if (result != ERROR_SUCCESS) break;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    // Stored strings need not carry their NUL; the extra byte above ends them.
    text.assign(data.data(), strnlen(data.data(), std::min<std::size_t>(got, size)));
    return ERROR_SUCCESS;
  }
  return result == ERROR_SUCCESS ? ERROR_MORE_DATA : result;
}

std::string ProfileString(const char* section, const char* key, std::string_view default_value,
                          std::size_t size, const char* path) {
  if (size == 0) return {};
  const std::string fallback(default_value);
  std::vector<char> buffer(size, '\0');
  const DWORD length =
      path != nullptr
          ? GetPrivateProfileString(section, key, fallback.c_str(), buffer.data(),
                                    static_cast<DWORD>(size), path)
          : GetProfileString(section, key, fallback.c_str(), buffer.data(),
                             static_cast<DWORD>(size));
  // A key list is a sequence of NUL-terminated names; a value is one string.
  const std::size_t used = std::min<std::size_t>(length, size - 1);
  if (key == nullptr) return std::string(buffer.data(), used);
  return std::string(buffer.data(), strnlen(buffer.data(), used));
}

// The private WIN.INI beside the running program, probed once per process.
struct WinIniProbe {
  std::mutex mutex;
  bool probed = false;
  std::string path;  // empty: there is none
};

WinIniProbe& Probe() {
  static WinIniProbe* probe = new WinIniProbe;
  return *probe;
}

std::string PrivateWinIni() {
  WinIniProbe& probe = Probe();
  std::lock_guard<std::mutex> lock(probe.mutex);
  if (!probe.probed) {
    probe.probed = true;
    char program[MAX_PATH] = {};
    const DWORD length = GetModuleFileName(nullptr, program, sizeof(program));
    if (length > 0 && length < sizeof(program)) {
      std::string directory, file_name;
      SplitPath(program, directory, file_name);
      AddBackslash(directory);
      const std::string candidate = directory + "WIN.INI";
      const DWORD attributes = GetFileAttributes(candidate.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        probe.path = candidate;
      }
    }
  }
  return probe.path;
}

bool IsProductSection(std::string_view section) {
  return EqualsNoCase(section, kWinIniSection) || EqualsNoCase(section, kLegacyWinIniSection);
}

// Accepts a candidate install directory: an existing directory holding VANTREL.INI.
bool AcceptInstallDirectory(std::string candidate, std::size_t size, std::string& directory) {
  TrimBoth(candidate);
  if (candidate.size() >= 2 && candidate.front() == '"' && candidate.back() == '"') {
    candidate = candidate.substr(1, candidate.size() - 2);
  }
  RemoveBackslash(candidate);
  // A directory cut to fit would be another directory.
  if (candidate.empty() || candidate.size() >= size) return false;
  if (!IsDirectory(candidate)) return false;
  if (FileProbe(JoinPath(candidate, "VANTREL.INI")) != 0) return false;
  directory = candidate;
  return true;
}

}  // namespace

void ResetWinIniProbe() {
  WinIniProbe& probe = Probe();
  std::lock_guard<std::mutex> lock(probe.mutex);
  probe.probed = false;
  probe.path.clear();
}

std::string ReadWinIni(std::string_view section, std::string_view key,
                       std::string_view default_value, std::size_t size) {
  const std::string section_text(section);
  const std::string key_text(key);
  const char* key_arg = key.empty() ? nullptr : key_text.c_str();

  if (IsProductSection(section) && !EqualsNoCase(key, kProgressOverKey)) {
    const std::string private_ini = PrivateWinIni();
    if (!private_ini.empty()) {
      if (IsWindows6OrLater()) {
        char temp[MAX_PATH] = {};
        const DWORD length = GetTempPath(sizeof(temp), temp);
        if (length > 0 && length < sizeof(temp)) {
          // Never truncates: the file's contents are not ours.
          UniqueHandle touch(CreateFile(JoinPath(temp, kLogWriteFileName).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        }
      }
      return ProfileString(section_text.c_str(), key_arg, default_value, size,
                           private_ini.c_str());
    }
  }

  if (IsTerminalServer()) {
    RegistryKey mirror;
    if (mirror.Open(HKEY_LOCAL_MACHINE, std::string(kMakerKey) + "\\" + kWinIniMirrorSubkey,
                    KEY_READ) == ERROR_SUCCESS) {
      RegistryKey section_key;
      std::string value;
      if (section_key.Open(mirror.get(), section_text, KEY_READ) == ERROR_SUCCESS) {
        const LONG result = QueryString(section_key.get(), key_text, value);
        if (result == ERROR_SUCCESS) return CutTo(value, size);
      }
      std::string fallback(default_value);
      TrimBoth(fallback);
      return CutTo(fallback, size);
    }
  }

  return ProfileString(section_text.c_str(), key_arg, default_value, size, nullptr);
}

std::string OverlayKeyName(std::string_view ini_path, std::string_view section) {
  std::string name = std::string(kMakerKey) + "\\";
  for (char c : ini_path) name.push_back(IsPathSeparator(c) ? '#' : c);
  name.push_back('\\');
  name.append(section);
  return name;
}

std::string ReadIniValue(std::string_view section, std::string_view key,
                         std::string_view default_value, std::string_view ini_path,
                         std::size_t size) {
  const std::string section_text(section);
  const std::string key_text(key);
  const std::string path(ini_path);
  RegistryKey overlay;
  if (overlay.Open(HKEY_LOCAL_MACHINE, OverlayKeyName(ini_path, section), KEY_READ) ==
      ERROR_SUCCESS) {
    if (!key.empty()) {
      std::string value;
      const LONG result = QueryString(overlay.get(), key_text, value);
      if (result == ERROR_SUCCESS) return CutTo(value, size);
      if (EqualsNoCase(key, kOverlayOnlyKey)) return CutTo(std::string(default_value), size);
      return ProfileString(section_text.c_str(), key_text.c_str(), default_value, size,
                           path.c_str());
    }
    // The section's entries from the overlay. Each must fit with its NUL and leave room
    // for the NUL that ends the list.
    std::string entries;
    for (DWORD index = 0;; ++index) {
      char name[MAX_PATH] = {};
      DWORD name_size = sizeof(name);
      DWORD type = 0;
      if (RegEnumValue(overlay.get(), index, name, &name_size, nullptr, &type, nullptr,
                       nullptr) != ERROR_SUCCESS) {
        break;
      }
      std::string data;
      if (QueryString(overlay.get(), name, data) != ERROR_SUCCESS) data.clear();
      std::string entry = name;
      if (!data.empty()) entry += "=" + data;
      if (entries.size() + entry.size() + 2 > size) break;
      entries += entry;
      entries.push_back('\0');
    }
    return entries;
  }
  return ProfileString(section_text.c_str(), key.empty() ? nullptr : key_text.c_str(),
                       default_value, size, path.c_str());
}

bool WriteIniValue(std::string_view section, std::string_view key, std::string_view value,
                   std::string_view ini_path) {
  const std::string section_text(section);
  const std::string key_text(key);
  const std::string value_text(value);
  const std::string path(ini_path);
  const BOOL written = WritePrivateProfileString(section_text.c_str(), key_text.c_str(),
                                                 value_text.c_str(), path.c_str());
  const DWORD error = GetLastError();
  // Writing all nulls makes the profile code flush its cache of the file.
  WritePrivateProfileString(nullptr, nullptr, nullptr, path.c_str());
  SetLastError(error);
  return written != FALSE;
}

LONG ReadProductValue(std::string_view subkey, std::string_view name, std::string& value,
                      std::string_view default_value, std::size_t size) {
  value = CutTo(std::string(default_value), size);
  RegistryKey key;
  LONG result =
      key.Open(HKEY_LOCAL_MACHINE, std::string(kMakerKey) + "\\" + std::string(subkey), KEY_READ);
  if (result == ERROR_SUCCESS) {
    std::string text;
    result = QueryString(key.get(), std::string(name), text);
    if (result == ERROR_SUCCESS && text.size() >= size) result = ERROR_MORE_DATA;
    if (result == ERROR_SUCCESS) value = text;
  }
  SetLastError(static_cast<DWORD>(result));
  return result;
}

LONG WriteProductValue(std::string_view subkey, std::string_view name, std::string_view value,
                       std::string_view base_key, HKEY root) {
  if (subkey.empty() || name.empty() || value.empty()) return ERROR_SUCCESS;
  const std::string base = base_key.empty() ? std::string(kMakerKey) : std::string(base_key);
  RegistryKey key;
  LONG result = key.Create(root, base + "\\" + std::string(subkey));
  if (result == ERROR_SUCCESS) {
    const std::string name_text(name);
    const std::string data(value);
    result = RegSetValueEx(key.get(), name_text.c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(data.c_str()),
                           static_cast<DWORD>(data.size() + 1));
  }
  SetLastError(static_cast<DWORD>(result));
  return result;
}

bool FindInstallDirectory(std::string& directory, std::size_t size) {
  directory.clear();
  if (AcceptInstallDirectory(ReadWinIni(kWinIniSection, kInstallDirectoryKey, ""), size,
                             directory)) {
    return true;
  }
  if (AcceptInstallDirectory(ReadWinIni(kCompanionWinIniSection, kInstallDirectoryKey, ""), size,
                             directory)) {
    return true;
  }
  char program[MAX_PATH] = {};
  const DWORD length = GetModuleFileName(nullptr, program, sizeof(program));
  if (length > 0 && length < sizeof(program)) {
    std::string program_directory, file_name;
    SplitPath(program, program_directory, file_name);
    if (AcceptInstallDirectory(program_directory, size, directory)) return true;
  }
  return false;
}

bool ReadMakerValue(std::string_view name, std::string& value) {
  value.clear();
  RegistryKey key;
  LONG result = key.Open(HKEY_LOCAL_MACHINE, kMakerKey, KEY_READ);
  if (result == ERROR_SUCCESS) {
    std::string text;
    result = QueryString(key.get(), std::string(name), text);
    if (result == ERROR_SUCCESS && text.size() >= kMakerValueBytes) result = ERROR_MORE_DATA;
    if (result == ERROR_SUCCESS) value = text;
  }
  SetLastError(static_cast<DWORD>(result));
  return result == ERROR_SUCCESS;
}

}  // namespace foundation
