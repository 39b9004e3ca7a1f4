// Fuzz target: the engine's reader of a job header (0.hdr), with the path resolution and
// the splits it applies to what it read.
//
// Besides what the sanitizers catch, it aborts when a path resolved from the header leaves
// the job directory, or when a value read is longer than the line it came from.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/engine/job_header.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckInsideJob(std::string_view rel_path) {
  static const std::string kInDir = "/spool/IN";
  static const std::string kJob = "8f6";
  std::string error;
  const std::optional<std::string> resolved =
      vtengine::ResolveJobPath(kInDir, kJob, rel_path, &error);
  if (!resolved) {
    Check(!error.empty());
    return;
  }
  const std::string prefix = kInDir + "/" + kJob + "/";
  Check(resolved->compare(0, prefix.size(), prefix) == 0);
  Check(resolved->find("/../") == std::string::npos && resolved->find("/./") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const vtengine::JobHeader header = vtengine::ParseJobHeader(text);
  if (header.body) {
    Check(header.body->size() <= vtengine::kMaxHeaderLine);
    CheckInsideJob(*header.body);
  }
  for (const vtengine::HeaderAttachment& attachment : header.attachments) {
    Check(attachment.value.size() <= vtengine::kMaxHeaderLine);
    CheckInsideJob(attachment.path);
    for (const vtengine::HeaderAttachment& split : vtengine::AttachmentSplits(attachment.value)) {
      Check(!split.path.empty() && !split.display_name.empty());
      CheckInsideJob(split.path);
    }
  }
  for (const std::string& address : vtengine::SplitAddressList(header.to)) Check(!address.empty());
  return 0;
}
