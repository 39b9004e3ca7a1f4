// replay_main.cpp - runs a fuzz target's LLVMFuzzerTestOneInput over stored inputs.
//
// What it is for: the normal build has no libFuzzer, yet the seed corpus of every target
// (and every crash input kept beside it) must keep passing. This main is linked with a
// target's own source in place of libFuzzer's, and CTest runs it over the target's corpus,
// so each input is fed once, as the fuzzer would feed it, in every build CI makes (the
// sanitizer builds included).
//
// Usage: NAME_replay PATH...   each PATH a file, or a directory whose regular files are
// replayed in name order (subdirectories included). Exit status 0 once every input was run;
// 1 when a path is missing or no input was found at all (a corpus that silently vanished
// would otherwise pass); a fault in the target ends the program as it would end the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Optional, as with libFuzzer: a target that needs set-up once defines it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// The inputs below path, in a stable order so that a failure names the same input each run.
bool CollectInputs(const fs::path& path, std::vector<fs::path>* inputs_r) {
  std::error_code error;
  if (fs::is_regular_file(path, error)) {
    inputs_r->push_back(path);
    return true;
  }
  if (!fs::is_directory(path, error)) return false;
  std::vector<fs::path> found;
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code entry_error;
    if (it->is_regular_file(entry_error)) found.push_back(it->path());
  }
  if (error) return false;
  std::sort(found.begin(), found.end());
  inputs_r->insert(inputs_r->end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) (void)LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!CollectInputs(argv[i], &inputs)) {
      std::fprintf(stderr, "replay: %s: no such file or directory\n", argv[i]);
      return 1;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no input to run\n");
    return 1;
  }
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: %s: cannot be read\n", input.c_str());
      return 1;
    }
    // An owned copy of exactly the input's size, so that ASan sees a read past its end.
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    (void)LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("replay: %zu input(s) run\n", inputs.size());
  return 0;
}
