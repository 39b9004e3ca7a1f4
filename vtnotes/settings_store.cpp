// settings_store.cpp - see settings_store.h.
#include "vtnotes/settings_store.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtnotes {
namespace {

std::string Terminated(std::string_view text) { return std::string(text); }

// Reads a REG_SZ value of an open key, growing the buffer until it fits.
bool QueryString(HKEY key, const std::string& name, std::string& value) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueEx(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return false;
  std::vector<char> buffer(size + 1, '\0');
  DWORD got = size + 1;
  if (RegQueryValueEx(key, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()),
                      &got) != ERROR_SUCCESS)
    return false;
  value.assign(buffer.data());
  return true;
}

}  // namespace

std::string ReadInstallDirectory() {
  char buffer[MAX_PATH] = {};
  GetProfileString("Vantrel", "InstallDirectory", "", buffer, sizeof buffer);
  std::string directory(buffer);
  if (directory.size() >= 2 && directory.front() == '"' && directory.back() == '"')
    directory = directory.substr(1, directory.size() - 2);
  while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\'))
    directory.pop_back();
  return directory;
}

std::string OverlayKeyName(std::string_view ini_path, std::string_view section) {
  std::string name = "SOFTWARE\\Veltrane\\";
  for (char c : ini_path) name += (c == '\\' || c == '/') ? '#' : c;
  name += '\\';
  name += section;
  return name;
}

std::string ReadIniFileValue(std::string_view ini_path, std::string_view section,
                             std::string_view key, std::size_t max_chars) {
  std::vector<char> buffer(max_chars + 1, '\0');
  GetPrivateProfileString(Terminated(section).c_str(), Terminated(key).c_str(), "",
                          buffer.data(), static_cast<DWORD>(buffer.size()),
                          Terminated(ini_path).c_str());
  return std::string(buffer.data());
}

std::string ReadIniValue(std::string_view ini_path, std::string_view section,
                         std::string_view key, std::string_view fallback, std::size_t max_chars) {
  HKEY overlay = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, OverlayKeyName(ini_path, section).c_str(), 0, KEY_READ,
                   &overlay) == ERROR_SUCCESS) {
    std::string value;
    bool found = QueryString(overlay, std::string(key), value);
    RegCloseKey(overlay);
    if (found) return value.substr(0, max_chars);
  }
  std::string value = ReadIniFileValue(ini_path, section, key, max_chars);
  return value.empty() ? std::string(fallback.substr(0, max_chars)) : value;
}

bool WriteIniValue(std::string_view ini_path, std::string_view section, std::string_view key,
                   std::string_view value) {
  std::string path(ini_path);
  BOOL written = WritePrivateProfileString(Terminated(section).c_str(), Terminated(key).c_str(),
                                           Terminated(value).c_str(), path.c_str());
  // A write of null arguments flushes the profile cache of the file, as on Windows.
  WritePrivateProfileString(nullptr, nullptr, nullptr, path.c_str());
  return written != FALSE;
}

std::string ReadProductValue(std::string_view name, bool* found, std::size_t max_chars) {
  if (found) *found = false;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  std::string value;
  bool present = QueryString(key, std::string(name), value);
  RegCloseKey(key);
  if (found) *found = present;
  return present ? value.substr(0, max_chars) : std::string();
}

long WriteProductValue(std::string_view name, std::string_view value) {
  if (name.empty() || value.empty()) return 0;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS) return result;
  std::string text(value);
  result = RegSetValueEx(key, std::string(name).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return result;
}

long DecimalValue(std::string_view text) {
  std::string copy(text);
  return std::strtol(copy.c_str(), nullptr, 10);
}

}  // namespace vtnotes
