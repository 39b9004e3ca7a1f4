// Fuzz target: the body-structure parser and the text writer on one raw message.
#include <cstdint>
#include <cstdlib>

#include "fuzz/mime/fuzz_scratch.h"
#include "mime/body_struct.h"
#include "mime/text_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = fuzzing::ScratchDir();
  fuzzing::EmptyScratch();
  std::string raw = fuzzing::WriteInput(dir, "0.bdx", data, size);
  std::unique_ptr<mime::MimeBody> root = mime::IMAPBODY_openfile(raw);
  if (!root) return 0;
  int first = 1;
  int done = 0;
  (void)mime::showBody(dir + "/0.bdy", raw, root.get(), first, done);
  mime::ReleaseMimeBody(root);
  return 0;
}
