// clamd_pool.cpp - scanning through a pool of ClamAV daemons instead of in-process libclamav.
#include "platform/engine/clamd_pool.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/engine/engine_log.h"

namespace vtengine {

namespace {

// clamd reads a stream in chunks; 64 KB keeps the number of writes low without holding
// much memory per file in flight.
constexpr std::size_t kChunkBytes = 64 * 1024;
// A reply is one short line; anything longer is not clamd.
constexpr std::size_t kMaxReplyBytes = 4096;

// How a daemon's part in one file ended.
enum class Exchange {
  kAnswered,    // a verdict: clean or found
  kRefused,     // the daemon answered "... ERROR" about this file
  kFailed,      // no usable answer: the daemon is passed over for a while
  kUnreadable,  // our side could not read the file: no daemon would fare better
};

// A socket to one daemon, closed when the owner goes.
class Connection {
 public:
  Connection() = default;
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects within `timeout_ms`; the socket stays non-blocking, every later wait is a poll.
  [[nodiscard]] bool Connect(const ClamdAddress& address, int timeout_ms, std::string* error_r) {
    if (!address.socket_path.empty()) {
      sockaddr_un local{};
      local.sun_family = AF_UNIX;
      if (address.socket_path.size() >= sizeof local.sun_path) {
        *error_r = "socket path too long";
        return false;
      }
      std::memcpy(local.sun_path, address.socket_path.c_str(), address.socket_path.size() + 1);
      return ConnectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&local), sizeof local, timeout_ms,
                       error_r);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (status != 0) {
      *error_r = std::string("cannot resolve ") + address.host + ": " + ::gai_strerror(status);
      return false;
    }
    bool connected = false;
    for (const addrinfo* entry = found; entry && !connected; entry = entry->ai_next) {
      if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
      }
      connected =
          ConnectTo(entry->ai_family, entry->ai_addr, entry->ai_addrlen, timeout_ms, error_r);
    }
    ::freeaddrinfo(found);
    return connected;
  }

  [[nodiscard]] bool Send(const char* bytes, std::size_t size, int timeout_ms,
                          std::string* error_r) {
    while (size > 0) {
      if (!Wait(POLLOUT, timeout_ms, "sending", error_r)) return false;
      const ssize_t sent = ::send(fd_, bytes, size, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        *error_r = std::string("send: ") + std::strerror(errno);
        return false;
      }
      bytes += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return true;
  }

  // Reads one reply up to its terminating NUL (or the end of the connection).
  [[nodiscard]] bool ReadReply(int timeout_ms, std::string* reply_r, std::string* error_r) {
    reply_r->clear();
    char buffer[512];
    while (reply_r->size() < kMaxReplyBytes) {
      if (!Wait(POLLIN, timeout_ms, "waiting for the answer", error_r)) return false;
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        *error_r = std::string("recv: ") + std::strerror(errno);
        return false;
      }
      if (got == 0) break;
      reply_r->append(buffer, static_cast<std::size_t>(got));
      const std::size_t end = reply_r->find('\0');
      if (end != std::string::npos) {
        reply_r->resize(end);
        return true;
      }
    }
    if (reply_r->empty()) {
      *error_r = "connection closed without an answer";
      return false;
    }
    // The end of the connection ends the reply too; clamd sends a NUL, others a newline.
    while (!reply_r->empty() && (reply_r->back() == '\n' || reply_r->back() == '\r'))
      reply_r->pop_back();
    return true;
  }

 private:
  bool ConnectTo(int family, const sockaddr* address, socklen_t length, int timeout_ms,
                 std::string* error_r) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      *error_r = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    if (::connect(fd_, address, length) == 0) return true;
    if (errno != EINPROGRESS) {
      *error_r = std::string("connect: ") + std::strerror(errno);
      return false;
    }
    if (!Wait(POLLOUT, timeout_ms, "connecting", error_r)) return false;
    int socket_error = 0;
    socklen_t size = sizeof socket_error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &socket_error, &size) != 0 || socket_error != 0) {
      *error_r = std::string("connect: ") + std::strerror(socket_error ? socket_error : errno);
      return false;
    }
    return true;
  }

  bool Wait(short events, int timeout_ms, const char* what, std::string* error_r) {
    pollfd entry{fd_, events, 0};
    for (;;) {
      const int ready = ::poll(&entry, 1, timeout_ms);
      if (ready > 0) return true;  // errors and hang-ups show in the call that follows
      if (ready == 0) {
        *error_r = std::string("no progress for ") + std::to_string(timeout_ms) + " ms " + what;
        return false;
      }
      if (errno != EINTR) {
        *error_r = std::string("poll: ") + std::strerror(errno);
        return false;
      }
    }
  }

  int fd_ = -1;
};

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Turns clamd's reply into a verdict; kFailed for anything that is not a reply of clamd.
Exchange ParseReply(const std::string& reply, ScanResult* result_r) {
  constexpr std::string_view kPrefix = "stream: ";
  std::string_view text = reply;
  if (EndsWith(text, " ERROR")) {
    result_r->error = "the daemon refused it: " + reply;
    return Exchange::kRefused;
  }
  if (text.substr(0, kPrefix.size()) != kPrefix) {
    result_r->error = "unexpected answer \"" + reply + "\"";
    return Exchange::kFailed;
  }
  text.remove_prefix(kPrefix.size());
  if (text == "OK") {
    result_r->status = ScanStatus::kClean;
    return Exchange::kAnswered;
  }
  constexpr std::string_view kFound = " FOUND";
  if (EndsWith(text, kFound) && text.size() > kFound.size()) {
    result_r->status = ScanStatus::kInfected;
    std::string_view name = text.substr(0, text.size() - kFound.size());
    // A daemon with ExtendedDetectionInfo adds "(<hash>:<size>)" to the name; users see
    // the name in warning mails, so the addition goes.
    if (const std::size_t open = name.rfind('(');
        open != std::string_view::npos && open > 0 && name.back() == ')')
      name = name.substr(0, open);
    result_r->virus = CleanVirusName(name);
    return Exchange::kAnswered;
  }
  result_r->error = "unexpected answer \"" + reply + "\"";
  return Exchange::kFailed;
}

// Streams the file at `fd` to one daemon and reads its verdict.
Exchange StreamFile(const ClamdAddress& address, const ClamdPoolOptions& options, int fd,
                    ScanResult* result_r) {
  Connection connection;
  std::string error;
  if (!connection.Connect(address, options.connect_timeout_ms, &error)) {
    result_r->error = error;
    return Exchange::kFailed;
  }
  constexpr char kCommand[] = "zINSTREAM";  // sent with its terminating NUL
  bool sent = connection.Send(kCommand, sizeof kCommand, options.io_timeout_ms, &error);
  std::vector<char> chunk(4 + kChunkBytes);
  off_t offset = 0;
  while (sent) {
    const ssize_t got = ::pread(fd, chunk.data() + 4, kChunkBytes, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      result_r->error = std::string("cannot read the file: ") + std::strerror(errno);
      return Exchange::kUnreadable;
    }
    const auto length = static_cast<std::uint32_t>(got);
    chunk[0] = static_cast<char>(length >> 24);
    chunk[1] = static_cast<char>(length >> 16);
    chunk[2] = static_cast<char>(length >> 8);
    chunk[3] = static_cast<char>(length);
    sent = connection.Send(chunk.data(), 4 + length, options.io_timeout_ms, &error);
    if (got == 0) break;  // the zero length that ends the stream is sent
    offset += got;
  }
  // A daemon that stops taking the stream (its StreamMaxLength reached) says why before it
  // closes the connection, so a reply is looked for even when sending failed.
  std::string reply;
  std::string reply_error;
  if (!connection.ReadReply(options.io_timeout_ms, &reply, &reply_error)) {
    result_r->error = sent ? reply_error : error;
    return Exchange::kFailed;
  }
  const Exchange exchange = ParseReply(reply, result_r);
  if (!sent && exchange == Exchange::kAnswered) {
    // A verdict on part of the file says nothing about the rest.
    result_r->status = ScanStatus::kError;
    result_r->virus.clear();
    result_r->error = error;
    return Exchange::kFailed;
  }
  return exchange;
}

bool Ping(const ClamdAddress& address, const ClamdPoolOptions& options, std::string* error_r) {
  Connection connection;
  if (!connection.Connect(address, options.connect_timeout_ms, error_r)) return false;
  constexpr char kCommand[] = "zPING";
  std::string reply;
  if (!connection.Send(kCommand, sizeof kCommand, options.connect_timeout_ms, error_r) ||
      !connection.ReadReply(options.connect_timeout_ms, &reply, error_r))
    return false;
  if (reply != "PONG") {
    *error_r = "unexpected answer \"" + reply + "\" to PING";
    return false;
  }
  return true;
}

}  // namespace

bool ParseClamdAddress(const std::string& text, ClamdAddress* address_r, std::string* error_r) {
  ClamdAddress address;
  address.text = text;
  if (!text.empty() && text[0] == '/') {
    address.socket_path = text;
    *address_r = std::move(address);
    return true;
  }
  // An IPv6 address goes in brackets, or its last group could not be told from the port.
  std::size_t port_at = std::string::npos;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("]:");
    if (close != std::string::npos) {
      address.host = text.substr(1, close - 1);
      port_at = close + 2;
    }
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    address.host = text.substr(0, colon);
    if (address.host.find(':') == std::string::npos) port_at = colon + 1;
  }
  if (port_at != std::string::npos) address.port = text.substr(port_at);
  const bool port_ok = !address.port.empty() && address.port.size() <= 5 &&
                       std::all_of(address.port.begin(), address.port.end(),
                                   [](char c) { return c >= '0' && c <= '9'; }) &&
                       std::stoi(address.port) >= 1 && std::stoi(address.port) <= 65535;
  if (address.host.empty() || !port_ok) {
    *error_r = "\"" + text + "\" is neither host:port, [address]:port nor a socket path";
    return false;
  }
  *address_r = std::move(address);
  return true;
}

ClamdPool::ClamdPool(std::vector<ClamdAddress> servers, ClamdPoolOptions options)
    : servers_(std::move(servers)), options_(options), states_(servers_.size()) {}

ClamdPool::Pick ClamdPool::Choose(std::vector<bool>& tried, std::size_t* index_r) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  const std::size_t count = servers_.size();
  // A failed daemon whose back-off has ended is asked first, so that one that came back is
  // used again even while the others keep up with the load.
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t i = (next_ + step) % count;
    State& state = states_[i];
    if (!tried[i] && state.down && !state.probing && now >= state.retry_at) {
      state.probing = true;
      ++state.busy;
      tried[i] = true;
      *index_r = i;
      return Pick::kProbe;
    }
  }
  std::size_t best = count;
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t i = (next_ + step) % count;
    if (tried[i] || states_[i].down) continue;
    if (best == count ||
        (options_.balance == ClamdBalance::kLeastBusy && states_[i].busy < states_[best].busy))
      best = i;
    if (options_.balance == ClamdBalance::kRoundRobin) break;
  }
  if (best == count) return Pick::kNone;
  next_ = (best + 1) % count;
  ++states_[best].busy;
  tried[best] = true;
  *index_r = best;
  return Pick::kUse;
}

void ClamdPool::MarkUp(std::size_t index) const {
  bool was_down = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[index];
    was_down = state.down;
    state.down = false;
    state.probing = false;
    state.failures = 0;
  }
  if (was_down) LogLine("clamd %s answers again: scanning with it", servers_[index].text.c_str());
}

void ClamdPool::Release(std::size_t index, bool failed, const std::string& reason) const {
  int back_off_ms = 0;
  bool newly_down = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[index];
    --state.busy;
    state.probing = false;
    if (!failed) {
      state.failures = 0;
      return;
    }
    newly_down = !state.down;
    state.down = true;
    back_off_ms = options_.retry_ms;
    for (int i = 0; i < state.failures && back_off_ms < kMaxRetryMs; ++i) back_off_ms *= 2;
    back_off_ms = std::min(back_off_ms, kMaxRetryMs);
    ++state.failures;
    state.retry_at = Clock::now() + std::chrono::milliseconds(back_off_ms);
  }
  if (newly_down)
    LogLine("clamd %s failed (%s): passed over, asked again in %d ms", servers_[index].text.c_str(),
            reason.c_str(), back_off_ms);
}

ScanResult ClamdPool::ScanFile(const std::string& path, ScanDeadline) const {
  ScanResult result;
  ScanTarget target;
  if (!target.Open(path, &result.error)) return result;
  std::vector<bool> tried(servers_.size(), false);
  std::string reasons;
  std::size_t index = 0;
  for (Pick pick; (pick = Choose(tried, &index)) != Pick::kNone;) {
    const ClamdAddress& address = servers_[index];
    std::string error;
    if (pick == Pick::kProbe && !Ping(address, options_, &error)) {
      Release(index, true, error);
      reasons += (reasons.empty() ? "" : "; ") + address.text + ": " + error;
      continue;
    }
    if (pick == Pick::kProbe) MarkUp(index);
    ScanResult attempt;
    const Exchange exchange = StreamFile(address, options_, target.fd(), &attempt);
    Release(index, exchange == Exchange::kFailed, attempt.error);
    if (exchange == Exchange::kAnswered) return attempt;
    if (exchange == Exchange::kUnreadable) {
      result.error = path + ": " + attempt.error;
      return result;
    }
    // Refused or failed: another daemon may still look at it (a refusal can be the
    // daemon's own trouble, such as a full temporary directory).
    reasons += (reasons.empty() ? "" : "; ") + address.text + ": " + attempt.error;
  }
  result.error = path + ": no ClamAV daemon scanned it" +
                 (reasons.empty() ? std::string(" (every daemon is passed over after failing)")
                                  : " (" + reasons + ")");
  return result;
}

bool ClamdPool::ProbeAll(std::string* report_r) const {
  bool any = false;
  report_r->clear();
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    std::string error;
    const bool up = Ping(servers_[i], options_, &error);
    if (!report_r->empty()) *report_r += ", ";
    *report_r += servers_[i].text + (up ? " answers" : " does not answer (" + error + ")");
    if (up) {
      any = true;
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = states_[i];
    state.down = true;
    state.failures = 1;
    state.retry_at = Clock::now() + std::chrono::milliseconds(options_.retry_ms);
  }
  return any;
}

}  // namespace vtengine
