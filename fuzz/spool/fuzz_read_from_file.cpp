// Fuzz target: vtnotes' reader of the engine's result headers (ReadFromFile on a *.hd0 or
// *.hdx file).
//
// Besides what the sanitizers catch, it aborts when a body or attachment path read from the
// header lies outside the OUT directory, or when a reading that reports success has no body.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/log.h"
#include "vtnotes/spool.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A machine root of its own, with the OUT directory and one job directory in it; removed
// when the process ends.
struct Scratch {
  std::string root;
  std::string out;
  std::string job;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfuzzXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    ::setenv("VT_SYSROOT", root.c_str(), 1);
    out = root + "/vantrel/Out";
    job = out + "/8f6";
    std::filesystem::create_directories(job);
    // Without a report directory the log goes to the working directory: keep it in the
    // scratch root, not in the tree the fuzzer was started from.
    foundation::LogSettings log;
    log.report_directory = root;
    foundation::InitLog(log);
  }
  ~Scratch() {
    foundation::CloseLog();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

const Scratch& TheScratch() {
  static const Scratch scratch;
  return scratch;
}

bool InsideOut(const std::string& path, const std::string& out) {
  if (path.compare(0, out.size() + 1, out + "/") != 0) return false;
  return path.find("/../") == std::string::npos && path.find("\\..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& scratch = TheScratch();
  {
    std::ofstream file(scratch.job + "/8f6.hd0", std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  vtnotes::MailInfo info;
  const int result = vtnotes::ReadFromFile(scratch.job, "8f6.hd0", scratch.out, info);
  Check(result == 0 || result == 1 || result == 100);
  if (result == 0) {
    Check(InsideOut(info.body_path, scratch.out));
    for (const vtnotes::AttachmentNode& node : info.attachments) {
      Check(InsideOut(node.file_path, scratch.out));
      Check(!node.display_name.empty());
    }
  }
  return 0;
}
