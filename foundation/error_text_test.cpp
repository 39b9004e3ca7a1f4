// error_text_test.cpp - the system error text and the socket-error table.
#include "foundation/error_text.h"

#include <gtest/gtest.h>

#include "platform/win32/windows.h"

namespace foundation {
namespace {

TEST(ErrorTextTest, SystemTextNeedsFourteenBytesToSpare) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string full = ErrorText();
  ASSERT_FALSE(full.empty());
  EXPECT_EQ(full.substr(full.size() - 6), " (0x2)");
  EXPECT_EQ(full.find('\r'), std::string::npos);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // The message as the system gives it is the text plus its two-byte line end.
  const std::size_t message_length = full.size() - 6 + 2;
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ErrorText(message_length + 14), full);
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ErrorText(message_length + 13), "");

  char small[10];
  SetLastError(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ErrorText(std::span<char>(small)), 0u);
  EXPECT_STREQ(small, "");
}

TEST(ErrorTextTest, SocketCodesComeFromTheTable) {
  SetLastError(10060);
  EXPECT_EQ(ErrorText(), "Attempt to connect timed out without establishing a connection (10060)");
  SetLastError(10061);
  EXPECT_EQ(ErrorText(), "The attempt to connect was forcefully rejected (10061)");
  SetLastError(11001);
  EXPECT_EQ(ErrorText(), "Host Not Found (11001)");
  SetLastError(10072);  // inside the range, not in the table
  EXPECT_EQ(ErrorText(), "");
  SetLastError(11004);
  EXPECT_EQ(ErrorText(8), "Valid n");
  EXPECT_EQ(SocketErrorText(10004), "A blocking operation was interrupted");
  EXPECT_EQ(SocketErrorText(10010), "");
}

}  // namespace
}  // namespace foundation
