// NAME
//   winreg - query and change the registry of a machine root
//
// SYNOPSIS
//   winreg [--root DIR] query KEY [NAME]
//   winreg [--root DIR] set [--type TYPE] KEY NAME VALUE
//   winreg [--root DIR] delete KEY [NAME]
//   winreg --help
//
// DESCRIPTION
//   The administrator's view of HKEY_LOCAL_MACHINE of one root, as `reg` gives it on Windows.
//   KEY is a path below HKEY_LOCAL_MACHINE with backslashes, for example
//   "SOFTWARE\Veltrane\Vantrel For Lotus Notes"; a leading "HKLM\" or "HKEY_LOCAL_MACHINE\" is
//   accepted. Key and value names compare without case. NAME "" or "(Default)" is the key's
//   unnamed value.
//
//   query KEY NAME   prints the value alone on one line.
//   query KEY        prints every value as NAME=VALUE, in the order they were first written,
//                    then every subkey as NAME\ on its own line.
//   set              creates KEY (and the keys above it) if needed and stores VALUE. TYPE is
//                    REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ (entries separated by
//                    the two characters \0), REG_DWORD (decimal or 0x hexadecimal) or
//                    REG_BINARY (hexadecimal digits).
//   delete KEY NAME  removes the value.
//   delete KEY       removes the key with all its values and subkeys.
//
//   Values print as text (REG_SZ, REG_EXPAND_SZ), decimal (REG_DWORD), entries joined by \0
//   (REG_MULTI_SZ) or hexadecimal digits (REG_BINARY and anything else).
//
// FILES
//   DIR/registry.db   the registry of the root (DIR is --root, else $VT_SYSROOT).
//
// DIAGNOSTICS
//   Exit 0 on success; 1 when the key or value does not exist or the registry call fails,
//   with a message on stderr naming it; 2 for a usage error or no root.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

constexpr int kExitMissing = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: winreg [--root DIR] query KEY [NAME]\n"
    "       winreg [--root DIR] set [--type TYPE] KEY NAME VALUE\n"
    "       winreg [--root DIR] delete KEY [NAME]\n"
    "KEY is below HKEY_LOCAL_MACHINE, e.g. \"SOFTWARE\\Veltrane\\Vantrel For Lotus Notes\".\n"
    "TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY.\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "winreg: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// RAII owner of an open key.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &key_; }
  [[nodiscard]] HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::string StripHive(std::string key) {
  for (const char* hive : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"}) {
    if (_strnicmp(key.c_str(), hive, std::strlen(hive)) == 0) return key.substr(std::strlen(hive));
  }
  if (_stricmp(key.c_str(), "HKLM") == 0 || _stricmp(key.c_str(), "HKEY_LOCAL_MACHINE") == 0) {
    return std::string();
  }
  return key;
}

std::string ValueName(const char* name) {
  return _stricmp(name, "(Default)") == 0 ? std::string() : std::string(name);
}

std::string Render(DWORD type, const std::string& data) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return data.substr(0, data.find('\0'));
    case REG_DWORD:
      if (data.size() == 4) {
        DWORD number = 0;
        std::memcpy(&number, data.data(), 4);
        return std::to_string(number);
      }
      break;
    case REG_MULTI_SZ: {
      std::string text;
      std::string::size_type start = 0;
      while (start < data.size() && data[start] != '\0') {
        std::string::size_type end = data.find('\0', start);
        if (end == std::string::npos) end = data.size();
        if (!text.empty()) text += "\\0";
        text += data.substr(start, end - start);
        start = end + 1;
      }
      return text;
    }
    default:
      break;
  }
  std::string hex;
  char digits[3];
  for (unsigned char byte : data) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    hex += digits;
  }
  return hex;
}

LONG ReadValue(HKEY key, const std::string& name, DWORD* type, std::string* data) {
  DWORD size = 0;
  LONG status = RegQueryValueEx(key, name.c_str(), nullptr, type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  data->assign(size, '\0');
  status = RegQueryValueEx(key, name.c_str(), nullptr, type,
                           reinterpret_cast<BYTE*>(data->data()), &size);
  data->resize(size);
  return status;
}

int Failed(const char* what, const std::string& key, LONG status) {
  std::fprintf(stderr, "winreg: %s %s: error %ld\n", what, key.c_str(), static_cast<long>(status));
  return kExitMissing;
}

int Query(const std::string& path, const char* name) {
  Key key;
  LONG status = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out());
  if (status == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "winreg: key not found: %s\n", path.c_str());
    return kExitMissing;
  }
  if (status != ERROR_SUCCESS) return Failed("cannot open", path, status);
  if (name != nullptr) {
    DWORD type = 0;
    std::string data;
    status = ReadValue(key.get(), ValueName(name), &type, &data);
    if (status == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "winreg: value not found: %s in %s\n", name, path.c_str());
      return kExitMissing;
    }
    if (status != ERROR_SUCCESS) return Failed("cannot read", path, status);
    std::printf("%s\n", Render(type, data).c_str());
    return 0;
  }
  for (DWORD index = 0;; ++index) {
    char value_name[16384];
    DWORD chars = sizeof value_name;
    status = RegEnumValue(key.get(), index, value_name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return Failed("cannot list", path, status);
    DWORD type = 0;
    std::string data;
    if (ReadValue(key.get(), value_name, &type, &data) != ERROR_SUCCESS) continue;  // just removed
    std::printf("%s=%s\n", *value_name == '\0' ? "(Default)" : value_name,
                Render(type, data).c_str());
  }
  for (DWORD index = 0;; ++index) {
    char subkey[256];
    DWORD chars = sizeof subkey;
    status = RegEnumKeyEx(key.get(), index, subkey, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) return Failed("cannot list", path, status);
    std::printf("%s\\\n", subkey);
  }
  return 0;
}

bool Encode(const std::string& type, const std::string& text, DWORD* code, std::string* data) {
  if (_stricmp(type.c_str(), "REG_SZ") == 0 || _stricmp(type.c_str(), "REG_EXPAND_SZ") == 0) {
    *code = _stricmp(type.c_str(), "REG_SZ") == 0 ? REG_SZ : REG_EXPAND_SZ;
    *data = text;
    data->push_back('\0');
    return true;
  }
  if (_stricmp(type.c_str(), "REG_MULTI_SZ") == 0) {
    *code = REG_MULTI_SZ;
    data->clear();
    std::string::size_type start = 0;
    for (;;) {
      std::string::size_type end = text.find("\\0", start);
      std::string entry = text.substr(start, end == std::string::npos ? end : end - start);
      if (!entry.empty()) {
        *data += entry;
        data->push_back('\0');
      }
      if (end == std::string::npos) break;
      start = end + 2;
    }
    data->push_back('\0');
    return true;
  }
  if (_stricmp(type.c_str(), "REG_DWORD") == 0) {
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || number > 0xFFFFFFFFull) return false;
    *code = REG_DWORD;
    auto value = static_cast<DWORD>(number);
    data->assign(reinterpret_cast<const char*>(&value), 4);
    return true;
  }
  if (_stricmp(type.c_str(), "REG_BINARY") == 0) {
    if (text.size() % 2 != 0) return false;
    *code = REG_BINARY;
    data->clear();
    for (std::string::size_type i = 0; i < text.size(); i += 2) {
      char pair[3] = {text[i], text[i + 1], '\0'};
      char* end = nullptr;
      long byte = std::strtol(pair, &end, 16);
      if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return false;
      data->push_back(static_cast<char>(byte));
    }
    return true;
  }
  return false;
}

int Set(const std::string& path, const char* name, const std::string& type,
        const std::string& text) {
  DWORD code = REG_SZ;
  std::string data;
  if (!Encode(type, text, &code, &data)) return Usage("bad TYPE or a VALUE that TYPE cannot hold");
  Key key;
  LONG status = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (status != ERROR_SUCCESS) return Failed("cannot create", path, status);
  status = RegSetValueEx(key.get(), ValueName(name).c_str(), 0, code,
                         reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
  if (status != ERROR_SUCCESS) return Failed("cannot write", path, status);
  return 0;
}

int Delete(const std::string& path, const char* name) {
  if (name == nullptr) {
    LONG status = RegDeleteTree(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "winreg: key not found: %s\n", path.c_str());
      return kExitMissing;
    }
    return status == ERROR_SUCCESS ? 0 : Failed("cannot delete", path, status);
  }
  Key key;
  LONG status = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.out());
  if (status == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "winreg: key not found: %s\n", path.c_str());
    return kExitMissing;
  }
  if (status != ERROR_SUCCESS) return Failed("cannot open", path, status);
  status = RegDeleteValue(key.get(), ValueName(name).c_str());
  if (status == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "winreg: value not found: %s in %s\n", name, path.c_str());
    return kExitMissing;
  }
  return status == ERROR_SUCCESS ? 0 : Failed("cannot delete", path, status);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words;
  std::string root;
  std::string type = "REG_SZ";
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (word == "--root" || word == "--type") {
      if (i + 1 >= argc) return Usage(("missing argument to " + word).c_str());
      (word == "--root" ? root : type) = argv[++i];
      continue;
    }
    if (word.size() > 2 && word.compare(0, 2, "--") == 0) {
      return Usage(("unknown option " + word).c_str());
    }
    words.push_back(word);
  }
  if (words.empty()) return Usage(nullptr);
  if (!root.empty()) vtplatform::SetSystemRoot(root);
  if (vtplatform::SystemRoot().empty()) return Usage("no root: give --root DIR or set VT_SYSROOT");

  const std::string& command = words[0];
  std::size_t operands = words.size() - 1;
  if (operands < 1) return Usage("missing KEY");
  std::string key = StripHive(words[1]);
  const char* name = operands >= 2 ? words[2].c_str() : nullptr;
  if (command == "query") {
    if (operands > 2) return Usage("too many operands");
    return Query(key, name);
  }
  if (command == "set") {
    if (operands != 3) return Usage("set takes KEY NAME VALUE");
    if (key.empty()) return Usage("values are not stored on HKEY_LOCAL_MACHINE itself");
    return Set(key, name, type, words[3]);
  }
  if (command == "delete") {
    if (operands > 2) return Usage("too many operands");
    if (key.empty()) return Usage("refusing to delete all of HKEY_LOCAL_MACHINE");
    return Delete(key, name);
  }
  return Usage(("unknown command " + command).c_str());
}
