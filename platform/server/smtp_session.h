// smtp_session.h - one SMTP conversation, as a state machine fed line by line.
//
// What it is for: the protocol half of the SMTP listener (nsmtp): greeting, EHLO/HELO, MAIL,
// RCPT, DATA with dot-stuffing, RSET, NOOP, QUIT, VRFY and HELP, the SIZE extension and the
// reply codes for bad commands, overlong lines and oversize messages. It knows nothing about
// sockets or Notes: the caller reads lines with LineReader, hands each one to OnLine, writes
// the replies back. The message text goes to the MessageSink the caller gave while it
// arrives, so the session never holds more than one line of it. A message is stored before
// its 250 reply is produced, so a client that sees 250 can rely on it.
//
// The input is read as RFC 5321 has it (2.3.8, 4.1.1.4): only CR LF ends a line, and only
// CR LF "." CR LF ends the message text. A bare CR or LF is never a line end: in a command
// line it makes the command refused (it changes nothing), in the message text it is kept as
// text. A NUL refuses a command as well. Where mail systems disagree on line ends, a looser
// reading would let a second message or recipient be hidden inside the first.
// Ownership: the session owns the transaction in progress; it ends the sink's message (store
// or discard) on every path, its own destruction included.
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
  size_t max_message_bytes = 64 * 1024 * 1024;
  size_t max_recipients = 100;
};

struct SmtpEnvelope {
  std::string helo;
  std::string sender;  // empty for the null reverse-path <>
  std::vector<std::string> recipients;
};

// Where the text of a message goes while it arrives. The session calls begin once DATA is
// accepted (false: no message can be taken now, 451), append with each unstuffed line and
// its CR LF (false: the text could not be kept; the message is then refused), and then
// exactly one of store (after the final ".", with the envelope; true once the message is
// stored for good; id_r may be set to a short text naming it) or discard (the message was
// refused, or the transaction or the session ended before its end).
struct MessageSink {
  std::function<bool()> begin;
  std::function<bool(std::string_view bytes)> append;
  std::function<bool(const SmtpEnvelope& envelope, std::string* id_r)> store;
  std::function<void()> discard;
};

// Stores one accepted message held in memory (MemorySink). The text has CRLF line ends and
// is unstuffed.
using StoreFn =
    std::function<bool(const SmtpEnvelope& envelope, std::string_view text, std::string* id_r)>;

// A sink that collects the text in memory and hands it to store: for tests and small tools,
// where the size limit bounds the memory.
[[nodiscard]] MessageSink MemorySink(StoreFn store);

class SmtpSession {
 public:
  SmtpSession(std::string host_name, SmtpLimits limits, MessageSink sink);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;
  ~SmtpSession();

  // The 220 greeting sent once the connection is accepted.
  [[nodiscard]] std::string Greeting() const;

  // Handles one line without its line end. overlong says the line was longer than the limit
  // the caller read with (LineLimit()) and was cut; the rest of it was discarded. Returns the
  // reply to send, CRLF-terminated, or an empty string while message text is being read.
  [[nodiscard]] std::string OnLine(std::string_view line, bool overlong);
  // The same for a piece of message text that ended in a bare LF (bare_lf, read with
  // LineReader::NextTextPiece): such a piece is kept with its LF and never ends the message.
  [[nodiscard]] std::string OnLine(std::string_view line, bool overlong, bool bare_lf);

  // The longest line, line end included, that the current state accepts.
  [[nodiscard]] size_t LineLimit() const;
  // True once QUIT was answered: the caller closes the connection.
  [[nodiscard]] bool Closed() const { return closed_; }
  // True while message text is read (a connection lost now loses the message).
  [[nodiscard]] bool InData() const { return state_ == State::kData; }

 private:
  enum class State { kStart, kGreeted, kMail, kRcpt, kData };

  std::string Command(std::string_view line);
  std::string DataLine(std::string_view line, bool overlong, bool bare_lf);
  std::string EndOfData();
  void ResetTransaction();
  // Ends the sink's message without storing it, once.
  void DiscardMessage();

  std::string host_name_;
  SmtpLimits limits_;
  MessageSink sink_;
  State state_ = State::kStart;
  bool closed_ = false;
  SmtpEnvelope envelope_;
  bool sink_open_ = false;  // begin was called and neither store nor discard yet
  size_t message_bytes_ = 0;
  bool message_too_big_ = false;
  bool message_line_too_long_ = false;
  bool message_not_kept_ = false;  // append failed
  // The text read so far ends with CR LF (or is empty): only then can "." end the message.
  bool after_crlf_ = true;
};

// Reads lines from a byte source, at most a given length each, so that a client cannot make
// the server hold more than one bounded line. Only CR LF ends a line; a bare CR or LF is part
// of the line it stands in, for the session to judge.
class LineReader {
 public:
  // Reads up to size bytes into buffer; returns the count, 0 at the end, -1 on error.
  using ReadFn = std::function<long(char* buffer, size_t size)>;
  explicit LineReader(ReadFn read) : read_(std::move(read)) {}

  enum class Result { kLine, kEnd };  // kEnd: the peer closed, failed or timed out
  // Next line of at most limit bytes, its end included, returned without its CR LF. A longer
  // line is returned cut, with *overlong set, and the rest of it up to its CR LF is skipped.
  // Input that ends without a CR LF is no line (kEnd).
  [[nodiscard]] Result Next(size_t limit, std::string* line_r, bool* overlong_r);
  // For message text: like Next, but a bare LF also ends the piece (*bare_lf_r set, the LF not
  // returned). Clients that write their messages with LF line ends send them so; the limit
  // then applies to each of their lines, and the session still ends the message only at
  // CR LF "." CR LF.
  [[nodiscard]] Result NextTextPiece(size_t limit, std::string* line_r, bool* overlong_r,
                                     bool* bare_lf_r);

 private:
  bool Fill();

  ReadFn read_;
  std::string buffer_;
  size_t position_ = 0;
};

// The address inside "<...>" of a MAIL FROM or RCPT TO argument, with its parameters
// (SIZE=...) after it. False when the argument has no well-formed path, or when the address
// holds a blank, an angle bracket or a control character (NUL, CR, LF, ...).
[[nodiscard]] bool ParsePath(std::string_view argument, std::string* address_r,
                             std::string* parameters_r);

}  // namespace vtserver
