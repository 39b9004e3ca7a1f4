// test_root.h - a fresh machine root per test case, for the foundation's tests.
//
// Makes a temporary directory, points the Windows stand-in at it (and VT_SYSROOT, for child
// processes), creates the directories a root has, and removes everything afterwards.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/machine.h"

namespace foundation::testing {

class TestRoot {
 public:
  TestRoot() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vt-foundation-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    for (const char* directory : {"windows", "tmp", "domino", "vantrel", "report"}) {
      std::filesystem::create_directories(path_ + "/" + directory);
    }
    setenv(vtplatform::kRootVariable, path_.c_str(), 1);
    vtplatform::SetSystemRoot(path_);
  }
  ~TestRoot() {
    vtplatform::ResetMachineIdentity();
    vtplatform::SetSystemRoot("");
    unsetenv(vtplatform::kRootVariable);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string Path(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
  }
  std::string Write(std::string_view relative, std::string_view content) const {
    const std::string full = Path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << content;
    return full;
  }

 private:
  std::string path_;
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The regular files of a directory, sorted by name.
inline std::vector<std::string> FilesIn(const std::string& directory) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace foundation::testing
