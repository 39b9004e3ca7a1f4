// error_text.cpp - the text of the calling thread's last system error (see error_text.h).
#include "foundation/error_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "foundation/utilities.h"
#include "platform/win32/windows.h"

namespace foundation {
namespace {

struct SocketError {
  unsigned long code;
  const char* text;
};

// The socket errors that the system can meet (the winsock range). Kept sorted by code.
constexpr SocketError kSocketErrors[] = {
    {10004, "A blocking operation was interrupted"},
    {10009, "The file handle supplied is not valid"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions"},
    {10014, "The system detected an invalid pointer address"},
    {10022, "An invalid argument was supplied"},
    {10024, "Too many open sockets"},
    {10035, "A non-blocking socket operation could not be completed immediately"},
    {10036, "A blocking operation is currently executing"},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress"},
    {10038, "An operation was attempted on something that is not a socket"},
    {10039, "A required address was omitted from an operation on a socket"},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer"},
    {10041, "A protocol was specified that does not support the semantics of the socket type requested"},
    {10042, "An unknown, invalid or unsupported option or level was specified"},
    {10043, "The requested protocol has not been configured into the system"},
    {10044, "The support for the specified socket type does not exist in this address family"},
    {10045, "The attempted operation is not supported for the type of object referenced"},
    {10046, "The protocol family has not been configured into the system"},
    {10047, "An address incompatible with the requested protocol was used"},
    {10048, "Only one usage of each socket address is normally permitted"},
    {10049, "The requested address is not valid in its context"},
    {10050, "A socket operation encountered a dead network"},
    {10051, "A socket operation was attempted to an unreachable network"},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure"},
    {10053, "An established connection was aborted by the software in your host machine"},
    {10054, "An existing connection was forcibly closed by the remote host"},
    {10055, "No buffer space available"},
    {10056, "A connect request was made on an already connected socket"},
    {10057, "The socket is not connected"},
    {10058, "The socket has already been shut down"},
    {10059, "Too many references to some kernel object"},
    {10060, "Attempt to connect timed out without establishing a connection"},
    {10061, "The attempt to connect was forcefully rejected"},
    {10062, "Cannot translate name"},
    {10063, "Name component or name was too long"},
    {10064, "A socket operation failed because the destination host was down"},
    {10065, "A socket operation was attempted to an unreachable host"},
    {10066, "Cannot remove a directory that is not empty"},
    {10067, "Too many processes are using the socket library"},
    {10068, "Ran out of quota"},
    {10069, "Ran out of disk quota"},
    {10070, "File handle reference is no longer available"},
    {10071, "Item is not available locally"},
    {10091, "The network subsystem is unavailable"},
    {10092, "The socket library version requested is not supported"},
    {10093, "The socket library has not been initialised"},
    {10101, "Returned by a receive to indicate that the remote party has initiated a graceful shutdown sequence"},
    {11001, "Host Not Found"},
    {11002, "Non-authoritative host not found"},
    {11003, "This is a non-recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(std::size(kSocketErrors) == 51);

// Frees the system's message buffer on every path.
struct LocalText {
  char* text = nullptr;
  ~LocalText() {
    if (text != nullptr) LocalFree(text);
  }
};

}  // namespace

std::string_view SocketErrorText(unsigned long code) {
  const auto* found = std::lower_bound(
      std::begin(kSocketErrors), std::end(kSocketErrors), code,
      [](const SocketError& entry, unsigned long key) { return entry.code < key; });
  if (found == std::end(kSocketErrors) || found->code != code) return {};
  return found->text;
}

std::string ErrorText(std::size_t buffer_bytes) {
  const DWORD code = GetLastError();
  std::string result;
  LocalText message;
  const DWORD length = FormatMessage(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&message.text), 0, nullptr);
  if (length > 0 && message.text != nullptr) {
    // The caller's buffer must hold the message and " (0x" + eight hex digits + ")" + NUL.
    if (buffer_bytes >= std::size_t{length} + 14) {
      std::string text(message.text, length);
      // The system ends its messages with a line end; remove that and nothing else.
      while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
      char code_text[16];
      std::snprintf(code_text, sizeof(code_text), " (0x%lx)", static_cast<unsigned long>(code));
      result = text + code_text;
    }
  } else if (code >= 10004 && code <= 11004) {
    const std::string_view text = SocketErrorText(code);
    if (!text.empty()) {
      result = std::string(text) + " (" + std::to_string(code) + ")";
      if (buffer_bytes == 0) {
        result.clear();
      } else if (result.size() >= buffer_bytes) {
        result.resize(buffer_bytes - 1);
      }
    }
  }
  SetLastError(code);
  return result;
}

std::size_t ErrorText(std::span<char> buffer) {
  const std::string text = ErrorText(buffer.size());
  CopyBounded(buffer, text);
  return buffer.empty() ? 0 : std::strlen(buffer.data());
}

}  // namespace foundation
