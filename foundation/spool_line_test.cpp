// spool_line_test.cpp - values that would end their spool line early stay on it.
#include "foundation/spool_line.h"

#include <gtest/gtest.h>

namespace foundation {
namespace {

TEST(OneLineValueTest, LineBreaksAndControlsBecomeBlanks) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"Invoice\nBody: x", "Invoice Body: x"},
      {"Invoice\r\nAttachment: /etc/passwd,p", "Invoice  Attachment: /etc/passwd,p"},
      {"bare CR\rTo: mallory", "bare CR To: mallory"},
      {"\"Doe,\r\n John\" <jd@example.com>", "\"Doe,   John\" <jd@example.com>"},
      {std::string_view("nul\0tab\tdel\x7f", 12), "nul tab del "},
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},  // UTF-8 kept
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(OneLineValue(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace foundation
