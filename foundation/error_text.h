// error_text.h - the text of the calling thread's last system error.
//
// What it is for: every failure of a system call is logged as its message text and code
// on a line of its own ("The system cannot find the file specified. (0x2)"), before the
// failing routine's own line, which then ends "Reason above". This unit renders that text.
//
// Ownership: results are the caller's strings or buffers. Locks: none; the last error is
// per thread.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace foundation {

// The buffer size callers give the error text unless they say otherwise.
inline constexpr std::size_t kErrorTextBytes = 1024;

// Text of GetLastError() for a caller buffer of buffer_bytes bytes (NUL included):
// - a system message of length n gives "<message without its line end> (0x<code>)", or an
//   empty text when buffer_bytes is smaller than n + 14;
// - without a system message, a socket error code (10004..11004) found in the socket
//   table gives "<text> (<decimal code>)", cut to the buffer;
// - anything else gives an empty text.
// The thread's last error is left as it was.
[[nodiscard]] std::string ErrorText(std::size_t buffer_bytes = kErrorTextBytes);

// The same into a caller buffer, always NUL-terminated; returns the length written.
std::size_t ErrorText(std::span<char> buffer);

// Text of a socket error code from the socket table; empty for a code not in it.
[[nodiscard]] std::string_view SocketErrorText(unsigned long code);

}  // namespace foundation
