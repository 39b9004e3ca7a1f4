// Fragments of split messages, wherever the MIME text puts their header section, and text
// that only mentions the type.
#include "platform/engine/mail_shape.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace vtengine {
namespace {

struct ShapeCase {
  const char* name;
  const char* raw;
  bool partial;
};

void PrintTo(const ShapeCase& c, std::ostream* out) { *out << c.name; }

class PartialMessageTest : public testing::TestWithParam<ShapeCase> {};

TEST_P(PartialMessageTest, IsFoundInHeaderSectionsOnly) {
  const std::string path = testing::TempDir() + "/partial-" + GetParam().name + ".bdx";
  std::ofstream(path, std::ios::binary) << GetParam().raw;
  EXPECT_EQ(HoldsPartialMessage(path), GetParam().partial);
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, PartialMessageTest,
    testing::Values(
        ShapeCase{"TheMessageItself",
                  "MIME-Version: 1.0\r\nContent-Type: message/partial; id=\"a@b\"; number=1; "
                  "total=2\r\n\r\nFrom: x\r\n",
                  true},
        ShapeCase{"FoldedAndUpperCase",
                  "Subject: s\nCONTENT-TYPE:\n\tMessage/Partial;\n id=\"a\"; number=2\n\nZm9v\n",
                  true},
        ShapeCase{"APartOfAMultipart",
                  "Content-Type: multipart/mixed; boundary=b\r\n\r\npreamble\r\n--b\r\n"
                  "Content-Type: text/plain\r\n\r\nhi\r\n--b\r\nContent-Type: message/partial;"
                  " id=x; number=1\r\n\r\ndata\r\n--b--\r\n",
                  true},
        ShapeCase{"InsideAnEnclosedMessage",
                  "Content-Type: message/rfc822\r\n\r\nFrom: a\r\nContent-Type: message/partial;"
                  " id=x\r\n\r\ndata\r\n",
                  true},
        ShapeCase{"PlainMail", "Content-Type: text/plain\r\n\r\nhello\r\n", false},
        ShapeCase{"TextThatMentionsIt",
                  "Content-Type: text/plain\r\n\r\nContent-Type: message/partial\r\n", false},
        ShapeCase{"AnotherSubtype", "Content-Type: message/partially\r\n\r\nx\r\n", false},
        ShapeCase{"ContentWithoutHeaders",
                  "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nContent-Type: "
                  "message/partial\r\n--b--\r\n",
                  false}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST(PartialMessageTest, AFileThatCannotBeReadIsNone) {
  EXPECT_FALSE(HoldsPartialMessage(testing::TempDir() + "/no-such-file.bdx"));
}

}  // namespace
}  // namespace vtengine
