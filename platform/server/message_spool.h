// message_spool.h - the text of an inbound message kept in a file while it arrives.
//
// What it is for: nsmtp never holds a whole message in memory. SpoolSink gives the SMTP
// session a sink that writes the message text into a new file of a spool directory (the
// root's temporary directory) as it arrives, hands the finished file to the store function,
// and removes the file on every path: stored, refused, failed, or the client gone.
// Ownership: a SpoolFile owns its descriptor and its file: both go when it is destroyed. The
// sink owns its SpoolFile; the session owning the sink ends its message on every path.
// Locks: none; a sink belongs to one session, on one connection thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/server/smtp_session.h"

namespace vtserver {

class SpoolFile {
 public:
  SpoolFile() = default;
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;
  ~SpoolFile() { Remove(); }

  // Creates a new file of a unique name in directory (which must exist), replacing any file
  // this owner held. False with a reason when it cannot be made.
  [[nodiscard]] bool Create(const std::string& directory, std::string* error_r);
  // Buffered: the bytes reach the file by the next Append that fills the buffer or by Finish.
  [[nodiscard]] bool Append(std::string_view bytes);
  // Writes what is buffered and closes the descriptor; the file stays until Remove.
  [[nodiscard]] bool Finish();
  // Closes and removes the file, if there is one.
  void Remove();

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  bool Flush();

  int fd_ = -1;
  std::string path_;
  std::string buffer_;
};

// Stores the message whose text is in the file at path; true once it is stored for good.
using SpooledStoreFn =
    std::function<bool(const SmtpEnvelope& envelope, const std::string& path, std::string* id_r)>;
// Receives one log line (a spool file that could not be made or written).
using SpoolLogFn = std::function<void(const std::string& line)>;

// A session sink that spools into directory and stores through store.
[[nodiscard]] MessageSink SpoolSink(std::string directory, SpooledStoreFn store, SpoolLogFn log);

// Removes the spool files a task that died in the middle of a message left in directory;
// returns how many. Only for the one task that spools there, before it takes any message.
int RemoveStaleSpoolFiles(const std::string& directory);

}  // namespace vtserver
