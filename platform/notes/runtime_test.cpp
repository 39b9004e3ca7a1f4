// runtime_test.cpp - the runtime without a machine, time and number texts, network paths.
#include <cstring>

#include "platform/notes/notes_test_support.h"

namespace {

class RuntimeTest : public NotesRootTest {};

TEST_F(RuntimeTest, TimeTextReadsBackToTheSameSecond) {
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  TIMEDATE whole = VtTimeDateFromUnix(VtTimeDateToUnix(now));
  char text[100];
  WORD length = 0;
  ASSERT_EQ(ConvertTIMEDATEToText(nullptr, nullptr, &whole, text, sizeof text, &length), NOERROR);
  EXPECT_EQ(length, std::strlen(text));
  char* cursor = text;
  TIMEDATE parsed;
  ASSERT_EQ(ConvertTextToTIMEDATE(nullptr, nullptr, &cursor, length, &parsed), NOERROR) << text;
  EXPECT_TRUE(TimeDateEqual(&whole, &parsed)) << text;
  char tiny[8];
  EXPECT_EQ(ConvertTIMEDATEToText(nullptr, nullptr, &whole, tiny, sizeof tiny, &length),
            ERR_BUFFER_TOO_SMALL);
  char bad[] = "13/45/2026";
  cursor = bad;
  EXPECT_EQ(ConvertTextToTIMEDATE(nullptr, nullptr, &cursor, sizeof bad, &parsed), ERR_BAD_VALUE);
}

TEST_F(RuntimeTest, NumbersAsText) {
  struct Case {
    NUMBER number;
    const char* text;
  };
  for (const Case& c : {Case{1048576, "1048576"}, Case{3.5, "3.5"}, Case{-12, "-12"},
                        Case{0.1, "0.1"}}) {
    char text[41];
    ASSERT_EQ(ConvertFLOATToText(nullptr, nullptr, &c.number, text, sizeof text, nullptr), NOERROR);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(RuntimeTest, NetworkPathsSplitIntoServerAndFile) {
  char server[MAXPATH];
  char file[MAXPATH];
  ASSERT_EQ(OSPathNetParse("CN=Mail1/O=Acme!!mail2.box", nullptr, server, file), NOERROR);
  EXPECT_STREQ(server, "CN=Mail1/O=Acme");
  EXPECT_STREQ(file, "mail2.box");
  ASSERT_EQ(OSPathNetParse("names.nsf", nullptr, server, file), NOERROR);
  EXPECT_STREQ(server, "");
  EXPECT_STREQ(file, "names.nsf");
  char path[MAXPATH];
  std::string long_name(300, 'f');
  EXPECT_EQ(OSPathNetConstruct(nullptr, "S", long_name.c_str(), path), ERR_PATH_TOO_LONG);
}

TEST(RuntimeWithoutRoot, StartFailsWithAClearStatusAndCallsAreRefused) {
  vtplatform::SetSystemRoot("/nonexistent/vt_notes_root");
  STATUS status = NotesInitExtended(0, nullptr);
  EXPECT_EQ(status, ERR_NO_ROOT);
  char text[256];
  OSLoadString(NULLHANDLE, status, text, sizeof text);
  EXPECT_NE(std::string(text).find("VT_SYSROOT"), std::string::npos);
  DBHANDLE db = NULLHANDLE;
  EXPECT_EQ(NSFDbOpen("names.nsf", &db), ERR_NOT_INITIALIZED);
  vtplatform::SetSystemRoot("");
}

}  // namespace
