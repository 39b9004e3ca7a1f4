// Fuzz target: the profile (INI) reader of the Windows stand-in, on one file: its section
// names, each section, each key with a buffer that fits and one that does not, and a write.
//
// Besides what the sanitizers catch (every buffer is allocated at its exact size), it
// aborts when a read reports more characters than its buffer holds or leaves the result
// unterminated, or when writing one new key changes what another key reads.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/windows.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A scratch root of its own, removed when the process ends.
struct Scratch {
  std::string root;
  std::string ini;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfuzzXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    ::setenv("VT_SYSROOT", root.c_str(), 1);
    ini = root + "/fuzz.ini";
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

const std::string& IniPath() {
  static const Scratch scratch;
  return scratch.ini;
}

// A list read (names or key=value lines) as its entries; checks the buffer's rules.
std::vector<std::string> ListOf(const std::unique_ptr<char[]>& buffer, DWORD size, DWORD got) {
  Check(got < size || size == 0);
  std::vector<std::string> entries;
  if (size < 2) return entries;
  Check(buffer[got] == '\0');
  for (DWORD at = 0; at < got;) {
    const std::size_t length = std::strlen(&buffer[at]);
    entries.emplace_back(&buffer[at], length);
    at += static_cast<DWORD>(length) + 1;
  }
  return entries;
}

std::string Value(const std::string& section, const std::string& key, DWORD size) {
  std::unique_ptr<char[]> buffer(new char[size]);
  const DWORD got = GetPrivateProfileString(section.c_str(), key.c_str(), "<none>", buffer.get(),
                                            size, IniPath().c_str());
  Check(got < size);
  Check(std::strlen(buffer.get()) == got);
  return std::string(buffer.get(), got);
}

using Reading = std::map<std::pair<std::string, std::string>, std::string>;

Reading ReadAll() {
  constexpr DWORD kNamesSize = 65536;
  std::unique_ptr<char[]> names(new char[kNamesSize]);
  const DWORD got = GetPrivateProfileSectionNames(names.get(), kNamesSize, IniPath().c_str());
  Reading reading;
  for (const std::string& section : ListOf(names, kNamesSize, got)) {
    std::unique_ptr<char[]> keys(new char[kNamesSize]);
    const DWORD key_bytes = GetPrivateProfileString(section.c_str(), nullptr, "", keys.get(),
                                                    kNamesSize, IniPath().c_str());
    for (const std::string& key : ListOf(keys, kNamesSize, key_bytes)) {
      const std::string whole = Value(section, key, 4096);
      const std::string cut = Value(section, key, 8);
      Check(whole.compare(0, cut.size(), cut) == 0);
      (void)GetPrivateProfileInt(section.c_str(), key.c_str(), -1, IniPath().c_str());
      reading.emplace(std::make_pair(section, key), whole);
    }
    for (DWORD size : {DWORD{3}, DWORD{64}, kNamesSize}) {
      std::unique_ptr<char[]> lines(new char[size]);
      const DWORD line_bytes =
          GetPrivateProfileSection(section.c_str(), lines.get(), size, IniPath().c_str());
      (void)ListOf(lines, size, line_bytes);
    }
  }
  return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream file(IniPath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const Reading before = ReadAll();
  if (before.empty()) return 0;
  const std::string section = before.begin()->first.first;
  const std::string key = "VtFuzzAddedKey";
  for (const auto& [where, value] : before) {
    if (where.second.size() == key.size() &&
        ::strncasecmp(where.second.c_str(), key.c_str(), key.size()) == 0)
      return 0;
  }
  if (!WritePrivateProfileString(section.c_str(), key.c_str(), "added", IniPath().c_str()))
    return 0;
  Reading after = ReadAll();
  Check(Value(section, key, 64) == "added");
  for (auto it = after.begin(); it != after.end();) {
    it = ::strcasecmp(it->first.second.c_str(), key.c_str()) == 0 ? after.erase(it) : std::next(it);
  }
  Check(after == before);
  return 0;
}
