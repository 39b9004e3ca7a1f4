// settings_store.cpp - see settings_store.h.
#include "vtnotes/settings_store.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace vtnotes {
namespace {

std::string Terminated(std::string_view text) { return std::string(text); }

}  // namespace

std::string ReadInstallDirectory() {
  std::string directory =
      foundation::ReadWinIni("Vantrel", foundation::kInstallDirectoryKey, "", MAX_PATH);
  if (directory.size() >= 2 && directory.front() == '"' && directory.back() == '"')
    directory = directory.substr(1, directory.size() - 2);
  while (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\'))
    directory.pop_back();
  return directory;
}

std::string OverlayKeyName(std::string_view ini_path, std::string_view section) {
  return foundation::OverlayKeyName(ini_path, section);
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
  return foundation::ReadIniValue(section, key, fallback, ini_path, max_chars + 1);
}

bool WriteIniValue(std::string_view ini_path, std::string_view section, std::string_view key,
                   std::string_view value) {
  return foundation::WriteIniValue(section, key, value, ini_path);
}

std::string ReadProductValue(std::string_view name, bool* found, std::size_t max_chars) {
  std::string value;
  LONG result = foundation::ReadProductValue(kProductSubkey, name, value, "", max_chars + 1);
  // A value longer than the buffer is read whole and cut here.
  if (result == ERROR_MORE_DATA) {
    result = foundation::ReadProductValue(kProductSubkey, name, value, "", 1 << 20);
    value = value.substr(0, max_chars);
  }
  if (found) *found = result == ERROR_SUCCESS;
  return result == ERROR_SUCCESS ? value : std::string();
}

long WriteProductValue(std::string_view name, std::string_view value) {
  return foundation::WriteProductValue(kProductSubkey, name, value);
}

long DecimalValue(std::string_view text) {
  std::string copy(text);
  return std::strtol(copy.c_str(), nullptr, 10);
}

}  // namespace vtnotes
