// smtp_session.h - one SMTP conversation, as a state machine fed line by line.
//
// What it is for: the protocol half of the SMTP listener (nsmtp): greeting, EHLO/HELO, MAIL,
// RCPT, DATA with dot-stuffing, RSET, NOOP, QUIT, VRFY and HELP, the SIZE extension and the
// reply codes for bad commands, overlong lines and oversize messages. It knows nothing about
// sockets or Notes: the caller reads lines with LineReader, hands each one to OnLine, writes
// the replies back, and stores an accepted message through the StoreFn it gave. A message is
// stored before its 250 reply is produced, so a client that sees 250 can rely on it.
// Ownership: the session owns the message text of the transaction in progress; StoreFn sees
// it only for the duration of the call.
// Locks: none; one session belongs to one connection thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vtserver {

struct SmtpLimits {
  // RFC 5321 4.5.3.1: 512 bytes for a command line, 1000 for a text line, CRLF included.
  size_t max_command_line = 512;
  size_t max_text_line = 1000;
  size_t max_message_bytes = 10 * 1024 * 1024;
  size_t max_recipients = 100;
};

struct SmtpEnvelope {
  std::string helo;
  std::string sender;  // empty for the null reverse-path <>
  std::vector<std::string> recipients;
};

// Stores one accepted message; returns true once it is stored for good. The text has CRLF
// line ends and is unstuffed. id_r may be set to a short text naming the stored message.
using StoreFn =
    std::function<bool(const SmtpEnvelope& envelope, std::string_view text, std::string* id_r)>;

class SmtpSession {
 public:
  SmtpSession(std::string host_name, SmtpLimits limits, StoreFn store);

  // The 220 greeting sent once the connection is accepted.
  [[nodiscard]] std::string Greeting() const;

  // Handles one line without its line end. overlong says the line was longer than the limit
  // the caller read with (LineLimit()) and was cut; the rest of it was discarded. Returns the
  // reply to send, CRLF-terminated, or an empty string while message text is being read.
  [[nodiscard]] std::string OnLine(std::string_view line, bool overlong);

  // The longest line, line end included, that the current state accepts.
  [[nodiscard]] size_t LineLimit() const;
  // True once QUIT was answered: the caller closes the connection.
  [[nodiscard]] bool Closed() const { return closed_; }
  // True while message text is read (a connection lost now loses the message).
  [[nodiscard]] bool InData() const { return state_ == State::kData; }

 private:
  enum class State { kStart, kGreeted, kMail, kRcpt, kData };

  std::string Command(std::string_view line);
  std::string DataLine(std::string_view line, bool overlong);
  std::string EndOfData();
  void ResetTransaction();

  std::string host_name_;
  SmtpLimits limits_;
  StoreFn store_;
  State state_ = State::kStart;
  bool closed_ = false;
  SmtpEnvelope envelope_;
  std::string message_;
  bool message_too_big_ = false;
  bool message_line_too_long_ = false;
};

// Reads lines from a byte source, at most a given length each, so that a client cannot make
// the server hold more than one bounded line. A line ends at LF; a CR before it is dropped
// (a bare LF is taken as a line end as well).
class LineReader {
 public:
  // Reads up to size bytes into buffer; returns the count, 0 at the end, -1 on error.
  using ReadFn = std::function<long(char* buffer, size_t size)>;
  explicit LineReader(ReadFn read) : read_(std::move(read)) {}

  enum class Result { kLine, kEnd };  // kEnd: the peer closed, failed or timed out
  // Next line of at most limit bytes, its end included. A longer line is returned cut, with
  // *overlong set, and the rest of it up to its LF is skipped.
  [[nodiscard]] Result Next(size_t limit, std::string* line_r, bool* overlong_r);

 private:
  bool Fill();

  ReadFn read_;
  std::string buffer_;
  size_t position_ = 0;
};

// The address inside "<...>" of a MAIL FROM or RCPT TO argument, with its parameters
// (SIZE=...) after it. False when the argument has no well-formed path.
[[nodiscard]] bool ParsePath(std::string_view argument, std::string* address_r,
                             std::string* parameters_r);

}  // namespace vtserver
