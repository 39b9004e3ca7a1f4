// The built hook library loaded the way a server task loads it, checking a mail in-process.
#include <cstdlib>
#include <string>

#include "rights/rights.h"
#include "rights/test_support.h"

namespace rights {
namespace {

using testing_support::RightsTest;

TEST_F(RightsTest, LoadedLibraryMarksAMailOverTheSendLimit) {
  const char* build = std::getenv("VT_BUILD_DIR");
  if (build == nullptr) GTEST_SKIP() << "VT_BUILD_DIR not set";
  const std::string library = std::string(build) + "/lib/librights.so";
  if (!std::filesystem::exists(library)) GTEST_SKIP() << library << " not built";
  engine_lock_ = CreateFile(Path("vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  SetValue("SizeRestrictionEnabled", "1");
  AddRule({.email3 = "ALICE@ACME.EXAMPLE", .send_limit = 20, .send_action = "Forward"});
  ASSERT_EQ(VtLoadHookLibrary(library.c_str()), NOERROR);
  const NOTEID id = PostMail({.from = "alice@acme.example", .send_to = "bob@acme.example",
                              .body_bytes = 30 * 1024});
  EXPECT_EQ(ItemText(id, kMarkItem), "FORWARD");
  EXPECT_EQ(ItemText(id, kDoneItem), "DONE");
  EXPECT_EQ(OtherNotes(id).size(), 2u);
}

}  // namespace
}  // namespace rights
