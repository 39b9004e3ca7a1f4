// NAME
//   nsmtp - the mail server's inbound task: SMTP listener and pickup directory
//
// SYNOPSIS
//   nsmtp [--root DIR]
//
// DESCRIPTION
//   A server task, normally started by nserver. It loads the hook libraries named in notes.ini
//   and then takes mail in two ways, writing each message as a new MIME mail note into
//   mail.box, where the router (nrouter) picks it up:
//
//   SMTP on 127.0.0.1 at the port notes.ini SMTPPort names: EHLO/HELO, MAIL (with the SIZE
//   extension), RCPT, DATA, RSET, NOOP, VRFY, HELP and QUIT. Only CR LF ends a line and only
//   CR LF "." CR LF ends the message: a command line holding a bare CR, LF or a NUL is
//   refused (500, 501) and changes nothing. The message text is written into a file of the
//   root's temporary directory while it arrives and stored from there, so no message is held
//   in memory whole; the file is removed whatever becomes of the message. A message is
//   stored before the client is told 250; a client that disconnects before the final "."
//   stores nothing. The recipients given in RCPT become the note's Recipients item. Each
//   connection has a thread of its own.
//
//   The pickup directory <data>/pickup: every file there is one RFC 822 message, taken in
//   arrival order, read from where it lies, and removed once stored. Recipients come from its To, Cc and Bcc headers.
//   Names beginning with '.' are skipped (write under such a name, then rename); a file that
//   cannot be stored is renamed to NAME.bad.
//
//   The task ends on SIGTERM or SIGINT: idle connections are closed at once, a message being
//   sent gets 5 seconds to end.
//
// FILES
//   <root>/domino/notes.ini        settings (below)
//   <root>/domino/data/mail.box    where inbound mail is written
//   <root>/domino/data/pickup/     the pickup directory (created when missing)
//   <root>/tmp/smtp-*              a message being received (removed once it is done, or
//                                  at the next start after a crash)
//   <root>/domino/console.log      the log, shared by the server tasks
//
// CONFIGURATION (notes.ini)
//   SMTPPort            listening port on 127.0.0.1 (default 2525; 0 disables SMTP)
//   SMTPMaxMessageSizeKB  largest message accepted, in KB (default 65536; the pickup
//                       directory takes the same limit)
//   SMTPMaxSessions     connections served at once (default 200); further ones get 421
//   SMTPIdleTimeoutSeconds  a silent client is dropped after this long (default 300)
//   NSF_HOOKS           hook libraries loaded at start
//
// DIAGNOSTICS
//   Log lines on standard output and in console.log. Exit status 0 after a requested stop,
//   1 when the runtime cannot start or the port cannot be opened.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "platform/server/mail_store.h"
#include "platform/server/message_spool.h"
#include "platform/server/pickup.h"
#include "platform/server/server_task.h"
#include "platform/server/smtp_session.h"
#include "platform/win32/windows.h"

namespace {

using vtserver::TaskLog;

constexpr const char* kMailBox = "mail.box";
constexpr int kPollMs = 200;
constexpr int kPickupIntervalMs = 500;
constexpr int kStopGraceSeconds = 5;
// Messages are spooled to disk, so the limit is about what a mail box should take, not about
// the task's memory: large enough for the attachments people send today.
constexpr long kDefaultMaxMessageKb = 64 * 1024;

struct ListenerSettings {
  int port = 2525;
  vtserver::SmtpLimits limits;
  int max_sessions = 200;
  int idle_timeout_s = 300;
  std::string host_name;
  std::string spool_directory;  // the root's temporary directory
};

// Counts the live connection threads so that the task waits for them before it ends.
struct SessionCount {
  std::mutex mutex;
  std::condition_variable idle;
  int active = 0;
};

// Owns a socket descriptor.
struct Socket {
  int fd = -1;
  explicit Socket(int descriptor) : fd(descriptor) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
};

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t count = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

bool StoreMessage(const vtserver::SmtpEnvelope& envelope, const std::string& path,
                  std::string* id_r) {
  NOTEID note_id = 0;
  std::string error;
  STATUS status = vtserver::StoreInboundMailFile(kMailBox, path, envelope.recipients,
                                                 &envelope.sender, &note_id, &error);
  if (status != NOERROR) {
    TaskLog("message from <%s> not stored: %s%s%s", envelope.sender.c_str(),
            vtserver::StatusText(status).c_str(), error.empty() ? "" : ": ", error.c_str());
    return false;
  }
  char id[16];
  std::snprintf(id, sizeof id, "%X", static_cast<unsigned>(note_id));
  *id_r = id;
  TaskLog("message from <%s> for %zu recipient(s) stored as note %s in %s",
          envelope.sender.c_str(), envelope.recipients.size(), id, kMailBox);
  return true;
}

void ServeConnection(int fd, const ListenerSettings& settings) {
  Socket socket(fd);
  STATUS status = NotesInitThread();
  if (status != NOERROR) {
    (void)SendAll(fd, "421 4.3.0 Service not available\r\n");
    return;
  }
  vtserver::SmtpSession session(
      settings.host_name, settings.limits,
      vtserver::SpoolSink(settings.spool_directory, StoreMessage,
                          [](const std::string& line) { TaskLog("%s", line.c_str()); }));
  auto last_activity = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point stop_seen{};
  // Reads wait in short slices so that a stop request or an idle client ends the session. A
  // message being sent when the stop comes gets kStopGraceSeconds to end (nserver kills a
  // task that takes much longer).
  vtserver::LineReader reader([&](char* buffer, size_t size) -> long {
    for (;;) {
      if (vtserver::StopRequested()) {
        auto now = std::chrono::steady_clock::now();
        if (stop_seen == std::chrono::steady_clock::time_point{}) stop_seen = now;
        if (!session.InData() || now - stop_seen > std::chrono::seconds(kStopGraceSeconds)) {
          return 0;
        }
      }
      pollfd poll_fd = {fd, POLLIN, 0};
      int ready = ::poll(&poll_fd, 1, kPollMs);
      if (ready < 0 && errno != EINTR) return -1;
      if (ready > 0) {
        ssize_t count = ::recv(fd, buffer, size, 0);
        last_activity = std::chrono::steady_clock::now();
        return count;
      }
      if (std::chrono::steady_clock::now() - last_activity >
          std::chrono::seconds(settings.idle_timeout_s)) {
        (void)SendAll(fd, "421 4.4.2 Idle timeout, closing connection\r\n");
        return 0;
      }
    }
  });
  if (SendAll(fd, session.Greeting())) {
    std::string line;
    bool overlong = false;
    bool bare_lf = false;
    while (!session.Closed()) {
      vtserver::LineReader::Result result =
          session.InData()
              ? reader.NextTextPiece(session.LineLimit(), &line, &overlong, &bare_lf)
              : reader.Next(session.LineLimit(), &line, &overlong);
      if (result != vtserver::LineReader::Result::kLine) break;
      std::string reply = session.OnLine(line, overlong, session.InData() && bare_lf);
      if (!reply.empty() && !SendAll(fd, reply)) break;
    }
    if (session.InData()) TaskLog("client left during a message; nothing was stored");
  }
  NotesTermThread();
}

int OpenListener(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 256) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void RunListener(int listen_fd, const ListenerSettings& settings, SessionCount& sessions) {
  while (!vtserver::StopRequested()) {
    pollfd poll_fd = {listen_fd, POLLIN, 0};
    if (::poll(&poll_fd, 1, kPollMs) <= 0) continue;
    int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(sessions.mutex);
      if (sessions.active >= settings.max_sessions) {
        (void)SendAll(fd, "421 4.3.2 Too many connections, try again later\r\n");
        ::close(fd);
        continue;
      }
      ++sessions.active;
    }
    std::thread([fd, &settings, &sessions] {
      ServeConnection(fd, settings);
      std::lock_guard<std::mutex> lock(sessions.mutex);
      --sessions.active;
      sessions.idle.notify_all();
    }).detach();
  }
}

void RunPickup(const std::string& directory, size_t max_bytes) {
  if (NotesInitThread() != NOERROR) return;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  auto store = [](const std::string& path, std::string* reason_r) {
    NOTEID note_id = 0;
    std::string error;
    STATUS status =
        vtserver::StoreInboundMailFile(kMailBox, path, {}, nullptr, &note_id, &error);
    if (status == NOERROR) {
      TaskLog("Pickup: message stored as note %X in %s", static_cast<unsigned>(note_id),
              kMailBox);
      return vtserver::PickupResult::kStored;
    }
    *reason_r = vtserver::StatusText(status) + (error.empty() ? "" : ": " + error);
    if (status == ERR_BAD_PARAM) {
      if (error.empty()) *reason_r = "the message names no recipient";
      return vtserver::PickupResult::kRefused;
    }
    return vtserver::PickupResult::kRetry;
  };
  auto log = [](const std::string& line) { TaskLog("%s", line.c_str()); };
  do {
    (void)vtserver::ScanPickupDirectory(directory, max_bytes, store, log);
  } while (!vtserver::SleepUnlessStopped(kPickupIntervalMs));
  NotesTermThread();
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: nsmtp [--root DIR]\n  the SMTP task, normally started by nserver (see ServerTasks)\n");
      return 0;
    }
  }
  STATUS status = vtserver::StartServerTask("SMTP", argc, argv);
  if (status != NOERROR) {
    std::fprintf(stderr, "nsmtp: the Notes runtime did not start: status %u\n",
                 static_cast<unsigned>(ERR(status)));
    return 1;
  }
  ListenerSettings settings;
  settings.port = static_cast<int>(vtserver::EnvironmentNumber("SMTPPort", 2525, 0, 65535));
  settings.limits.max_message_bytes = static_cast<size_t>(
      vtserver::EnvironmentNumber("SMTPMaxMessageSizeKB", kDefaultMaxMessageKb, 1, 1024 * 1024)) *
      1024;
  settings.max_sessions =
      static_cast<int>(vtserver::EnvironmentNumber("SMTPMaxSessions", 200, 1, 10000));
  settings.idle_timeout_s =
      static_cast<int>(vtserver::EnvironmentNumber("SMTPIdleTimeoutSeconds", 300, 1, 86400));
  settings.host_name = "localhost";
  char temp_directory[MAXPATH] = "";
  (void)GetTempPath(sizeof temp_directory, temp_directory);
  settings.spool_directory = temp_directory;
  std::error_code spool_error;
  std::filesystem::create_directories(settings.spool_directory, spool_error);
  // A task that died in the middle of a message (it is restarted) left its text behind.
  if (int stale = vtserver::RemoveStaleSpoolFiles(settings.spool_directory); stale > 0) {
    TaskLog("Removed %d spool file(s) of messages that were never completed", stale);
  }

  int listen_fd = -1;
  if (settings.port != 0) {
    listen_fd = OpenListener(settings.port);
    if (listen_fd < 0) {
      TaskLog("Unable to listen on 127.0.0.1:%d: %s", settings.port, std::strerror(errno));
      vtserver::EndServerTask();
      return 1;
    }
    TaskLog("SMTP listener started on 127.0.0.1:%d", settings.port);
  }
  std::string pickup = vtserver::DataDirectory() + "/pickup";
  std::thread pickup_thread(RunPickup, pickup, settings.limits.max_message_bytes);
  TaskLog("Pickup directory %s watched", pickup.c_str());

  SessionCount sessions;
  if (listen_fd >= 0) {
    RunListener(listen_fd, settings, sessions);
    ::close(listen_fd);
  } else {
    while (!vtserver::SleepUnlessStopped(1000)) {
    }
  }
  pickup_thread.join();
  {
    // Connections finish the message they are reading; idle ones end at the next poll.
    std::unique_lock<std::mutex> lock(sessions.mutex);
    sessions.idle.wait(lock, [&] { return sessions.active == 0; });
  }
  vtserver::CloseMailBoxes();
  TaskLog("SMTP task stopped");
  vtserver::EndServerTask();
  return 0;
}
