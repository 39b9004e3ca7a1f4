// test_support.h - temporary job directories and shared test data for the MIME tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "mime/mime_io.h"

namespace mime::testing {

// A fresh directory that is removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtmimeXXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// The GMime test files of the checkout ($VT_SOURCE_DIR/testdata/gmime).
// Without VT_SOURCE_DIR the checkout is found from this file's own path.
inline std::string GmimeData(const std::string& name) {
  const char* source = std::getenv("VT_SOURCE_DIR");
  std::string root = source != nullptr
                         ? std::string(source)
                         : std::filesystem::path(__FILE__).parent_path().parent_path().string();
  return root + "/testdata/gmime/" + name;
}

// The real mail messages of the Python standard library's test suite, as Debian's
// libpython3.11-testsuite installs them; empty when the package is not installed.
inline std::string PythonMailData() {
  const char* dir = "/usr/lib/python3.11/test/test_email/data";
  return std::filesystem::exists(std::string(dir) + "/msg_01.txt") ? dir : "";
}

// Every test process plays one fresh machine: VT_SYSROOT names a temporary root made before
// the tests run and removed after them.
struct MachineRoot {
  MachineRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtrootXXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      path = pattern;
      ::setenv("VT_SYSROOT", path.c_str(), 1);
    }
    // The log lines of failing cases are expected; they must not litter the build tree.
    SetLogSink([](int, const char*) {});
  }
  ~MachineRoot() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};
inline MachineRoot g_machine_root;

}  // namespace mime::testing
