// Fuzz target: the uuencode step on one input file; every file it makes must be in the job
// directory.
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "foundation/uuencode.h"
#include "fuzz/mime/fuzz_scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzing::ScratchDir();
  fuzzing::EmptyScratch();
  std::string input = fuzzing::WriteInput(dir, "input", data, size);
  std::string job = dir + "/job";
  std::filesystem::create_directory(job);
  bool found = false;
  (void)foundation::ConvertUuncodeAttachment(job, input, &found, true);
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name != "input" && name != "job") std::abort();
  }
  return 0;
}
