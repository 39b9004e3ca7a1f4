// fuzz_scratch.h - a scratch job directory for the fuzz targets that work on files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fuzzing {

// One directory per process under the temporary directory, emptied between inputs.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfuzzXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return dir;
}

inline void EmptyScratch() {
  for (const auto& entry : std::filesystem::directory_iterator(ScratchDir())) {
    std::filesystem::remove_all(entry.path());
  }
}

inline std::string WriteInput(const std::string& dir, const char* name, const uint8_t* data,
                              size_t size) {
  std::string path = dir + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace fuzzing
