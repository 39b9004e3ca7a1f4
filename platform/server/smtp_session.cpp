// smtp_session.cpp - the SMTP state machine and the bounded line reader.
#include "platform/server/smtp_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

namespace vtserver {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// The SIZE=n parameter of MAIL FROM, 0 when absent; false when it is malformed.
bool SizeParameter(std::string_view parameters, unsigned long long* size_r) {
  *size_r = 0;
  while (!parameters.empty()) {
    parameters = TrimBlanks(parameters);
    size_t end = parameters.find(' ');
    std::string_view word = parameters.substr(0, end);
    parameters = end == std::string_view::npos ? std::string_view() : parameters.substr(end);
    if (!StartsWithNoCase(word, "SIZE=")) continue;
    std::string_view digits = word.substr(5);
    auto [next, error] = std::from_chars(digits.data(), digits.data() + digits.size(), *size_r);
    if (error != std::errc() || next != digits.data() + digits.size()) return false;
  }
  return true;
}

// RFC 5321 2.3.8: CR and LF occur only together, as the line end. The reader hands a
// command line over without its CR LF, so any CR or LF left in it stood alone.
bool HasBareLineEnd(std::string_view line) {
  return line.find_first_of("\r\n") != std::string_view::npos;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace

MessageSink MemorySink(StoreFn store) {
  auto text = std::make_shared<std::string>();
  MessageSink sink;
  sink.begin = [text] {
    text->clear();
    return true;
  };
  sink.append = [text](std::string_view bytes) {
    text->append(bytes);
    return true;
  };
  sink.store = [text, store = std::move(store)](const SmtpEnvelope& envelope, std::string* id_r) {
    bool stored = store(envelope, *text, id_r);
    text->clear();
    text->shrink_to_fit();
    return stored;
  };
  sink.discard = [text] {
    text->clear();
    text->shrink_to_fit();
  };
  return sink;
}

bool ParsePath(std::string_view argument, std::string* address_r, std::string* parameters_r) {
  argument = TrimBlanks(argument);
  if (argument.empty() || argument.front() != '<') return false;
  size_t close = argument.find('>');
  if (close == std::string_view::npos) return false;
  std::string_view address = argument.substr(1, close - 1);
  // A source route (<@a,@b:user@c>) is obsolete; the mailbox after the colon is what counts.
  if (!address.empty() && address.front() == '@') {
    size_t colon = address.find(':');
    if (colon == std::string_view::npos) return false;
    address.remove_prefix(colon + 1);
  }
  if (address.find_first_of("<> ") != std::string_view::npos || HasControl(address)) return false;
  *address_r = std::string(address);
  *parameters_r = std::string(TrimBlanks(argument.substr(close + 1)));
  return true;
}

SmtpSession::SmtpSession(std::string host_name, SmtpLimits limits, MessageSink sink)
    : host_name_(std::move(host_name)), limits_(limits), sink_(std::move(sink)) {}

SmtpSession::~SmtpSession() { DiscardMessage(); }

void SmtpSession::DiscardMessage() {
  if (!sink_open_) return;
  sink_open_ = false;
  if (sink_.discard) sink_.discard();
}

std::string SmtpSession::Greeting() const {
  return "220 " + host_name_ + " ESMTP Mail service ready\r\n";
}

size_t SmtpSession::LineLimit() const {
  return state_ == State::kData ? limits_.max_text_line : limits_.max_command_line;
}

void SmtpSession::ResetTransaction() {
  envelope_.sender.clear();
  envelope_.recipients.clear();
  DiscardMessage();
  message_bytes_ = 0;
  message_too_big_ = false;
  message_line_too_long_ = false;
  message_not_kept_ = false;
  after_crlf_ = true;
  if (state_ != State::kStart) state_ = State::kGreeted;
}

std::string SmtpSession::OnLine(std::string_view line, bool overlong) {
  return OnLine(line, overlong, false);
}

std::string SmtpSession::OnLine(std::string_view line, bool overlong, bool bare_lf) {
  if (closed_) return "";
  if (state_ == State::kData) return DataLine(line, overlong, bare_lf);
  if (overlong) return "500 5.5.2 Line too long\r\n";
  // Refused before it is read as a command, so that nothing in it reaches the transaction.
  if (HasBareLineEnd(line)) return "500 5.5.2 Bare CR or LF in a command line\r\n";
  if (line.find('\0') != std::string_view::npos) return "501 5.5.2 NUL in a command line\r\n";
  return Command(line);
}

std::string SmtpSession::Command(std::string_view line) {
  line = TrimBlanks(line);
  size_t blank = line.find(' ');
  std::string verb = Upper(line.substr(0, blank));
  std::string_view argument =
      blank == std::string_view::npos ? std::string_view() : TrimBlanks(line.substr(blank));

  if (verb == "EHLO" || verb == "HELO") {
    if (argument.empty()) return "501 5.5.4 Syntax: " + verb + " hostname\r\n";
    state_ = State::kGreeted;
    ResetTransaction();
    envelope_.helo = std::string(argument);
    if (verb == "HELO") return "250 " + host_name_ + "\r\n";
    return "250-" + host_name_ + " greets " + envelope_.helo + "\r\n" + "250-SIZE " +
           std::to_string(limits_.max_message_bytes) + "\r\n" + "250-8BITMIME\r\n" +
           "250-PIPELINING\r\n" + "250 HELP\r\n";
  }
  if (verb == "NOOP") return "250 2.0.0 Ok\r\n";
  if (verb == "RSET") {
    ResetTransaction();
    return "250 2.0.0 Ok\r\n";
  }
  if (verb == "QUIT") {
    closed_ = true;
    return "221 2.0.0 " + host_name_ + " closing connection\r\n";
  }
  if (verb == "HELP") return "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT\r\n";
  if (verb == "VRFY") return "252 2.1.5 Cannot verify the user, but will try delivery\r\n";

  if (verb == "MAIL") {
    if (state_ == State::kStart) return "503 5.5.1 Send HELO or EHLO first\r\n";
    if (state_ != State::kGreeted) return "503 5.5.1 Nested MAIL command\r\n";
    if (!StartsWithNoCase(argument, "FROM:")) return "501 5.5.4 Syntax: MAIL FROM:<address>\r\n";
    std::string address, parameters;
    if (!ParsePath(argument.substr(5), &address, &parameters))
      return "501 5.1.7 Bad sender address syntax\r\n";
    unsigned long long size = 0;
    if (!SizeParameter(parameters, &size)) return "501 5.5.4 Bad SIZE parameter\r\n";
    if (size > limits_.max_message_bytes)
      return "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
    envelope_.sender = address;
    state_ = State::kMail;
    return "250 2.1.0 Ok\r\n";
  }
  if (verb == "RCPT") {
    if (state_ != State::kMail && state_ != State::kRcpt)
      return "503 5.5.1 Need MAIL before RCPT\r\n";
    if (!StartsWithNoCase(argument, "TO:")) return "501 5.5.4 Syntax: RCPT TO:<address>\r\n";
    std::string address, parameters;
    if (!ParsePath(argument.substr(3), &address, &parameters) || address.empty())
      return "501 5.1.3 Bad recipient address syntax\r\n";
    if (envelope_.recipients.size() >= limits_.max_recipients)
      return "452 4.5.3 Too many recipients\r\n";
    envelope_.recipients.push_back(address);
    state_ = State::kRcpt;
    return "250 2.1.5 Ok\r\n";
  }
  if (verb == "DATA") {
    if (!argument.empty()) return "501 5.5.4 Syntax: DATA\r\n";
    if (state_ == State::kMail) return "554 5.5.1 No valid recipients\r\n";
    if (state_ != State::kRcpt) return "503 5.5.1 Need RCPT before DATA\r\n";
    message_bytes_ = 0;
    bool begun = false;
    try {
      begun = sink_.begin && sink_.begin();
    } catch (...) {
      begun = false;
    }
    if (!begun) return "451 4.3.0 Error: no message can be taken now\r\n";
    sink_open_ = true;
    state_ = State::kData;
    return "354 End data with <CR><LF>.<CR><LF>\r\n";
  }
  if (verb.empty()) return "500 5.5.2 Error: empty command\r\n";
  return "500 5.5.2 Command not recognized\r\n";
}

std::string SmtpSession::DataLine(std::string_view line, bool overlong, bool bare_lf) {
  // Only CR LF "." CR LF ends the text: a "." after or before a bare LF is text.
  if (!overlong && !bare_lf && after_crlf_ && line == ".") return EndOfData();
  after_crlf_ = !bare_lf;
  // Dot-stuffing (RFC 5321 4.5.2): a leading dot was doubled by the client.
  if (!line.empty() && line.front() == '.') line.remove_prefix(1);
  if (overlong) message_line_too_long_ = true;
  // Once the message is refused, the rest is read and dropped, never kept.
  if (!message_too_big_ && !message_line_too_long_ && !message_not_kept_ &&
      line.size() + 2 > limits_.max_message_bytes - std::min(message_bytes_,
                                                              limits_.max_message_bytes)) {
    message_too_big_ = true;
  }
  if (message_too_big_ || message_line_too_long_ || message_not_kept_) {
    DiscardMessage();
    return "";
  }
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append(bare_lf ? "\n" : "\r\n");
  bool kept = false;
  try {
    kept = sink_.append(text);
  } catch (...) {
    kept = false;
  }
  if (!kept) {
    message_not_kept_ = true;
    DiscardMessage();
    return "";
  }
  message_bytes_ += text.size();
  return "";
}

std::string SmtpSession::EndOfData() {
  std::string reply;
  if (message_too_big_) {
    reply = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
  } else if (message_line_too_long_) {
    reply = "500 5.5.2 Message line too long\r\n";
  } else if (message_not_kept_ || !sink_open_) {
    reply = "451 4.3.0 Error: message could not be stored\r\n";
  } else {
    std::string id;
    bool stored = false;
    sink_open_ = false;  // store ends the message whatever it returns
    try {
      stored = sink_.store(envelope_, &id);
    } catch (...) {
      stored = false;
    }
    reply = stored ? "250 2.0.0 Ok: queued as " + (id.empty() ? std::string("1") : id) + "\r\n"
                   : "451 4.3.0 Error: message could not be stored\r\n";
  }
  state_ = State::kGreeted;
  ResetTransaction();
  return reply;
}

bool LineReader::Fill() {
  if (position_ > 0) {
    buffer_.erase(0, position_);
    position_ = 0;
  }
  char chunk[4096];
  long count = read_(chunk, sizeof chunk);
  if (count <= 0) return false;
  buffer_.append(chunk, static_cast<size_t>(count));
  return true;
}

LineReader::Result LineReader::Next(size_t limit, std::string* line_r, bool* overlong_r) {
  *overlong_r = false;
  line_r->clear();
  for (;;) {
    size_t crlf = buffer_.find("\r\n", position_);
    if (crlf != std::string::npos && crlf + 2 - position_ <= limit) {
      line_r->assign(buffer_, position_, crlf - position_);
      position_ = crlf + 2;
      return Result::kLine;
    }
    if (crlf != std::string::npos || buffer_.size() - position_ >= limit) {
      // Too long: hand out the first limit bytes, then skip to the end of the line.
      line_r->assign(buffer_, position_, limit);
      *overlong_r = true;
      for (;;) {
        size_t skip_crlf = buffer_.find("\r\n", position_);
        if (skip_crlf != std::string::npos) {
          position_ = skip_crlf + 2;
          return Result::kLine;
        }
        // Keep a CR at the very end: its LF may come with the next read.
        position_ = buffer_.size();
        if (position_ > 0 && buffer_[position_ - 1] == '\r') --position_;
        if (!Fill()) return Result::kEnd;
      }
    }
    if (!Fill()) return Result::kEnd;
  }
}

LineReader::Result LineReader::NextTextPiece(size_t limit, std::string* line_r,
                                             bool* overlong_r, bool* bare_lf_r) {
  *overlong_r = false;
  *bare_lf_r = false;
  line_r->clear();
  for (;;) {
    size_t lf = buffer_.find('\n', position_);
    if (lf != std::string::npos && lf + 1 - position_ <= limit) {
      bool crlf = lf > position_ && buffer_[lf - 1] == '\r';
      line_r->assign(buffer_, position_, lf - position_ - (crlf ? 1 : 0));
      *bare_lf_r = !crlf;
      position_ = lf + 1;
      return Result::kLine;
    }
    if (lf != std::string::npos || buffer_.size() - position_ >= limit) {
      // Too long: hand out the first limit bytes, then skip to the end of that line.
      line_r->assign(buffer_, position_, limit);
      *overlong_r = true;
      for (;;) {
        size_t skip_lf = buffer_.find('\n', position_);
        if (skip_lf != std::string::npos) {
          *bare_lf_r = skip_lf == 0 || buffer_[skip_lf - 1] != '\r';
          position_ = skip_lf + 1;
          return Result::kLine;
        }
        // Keep the last byte: a CR there decides whether the coming LF is bare.
        position_ = buffer_.empty() ? 0 : buffer_.size() - 1;
        if (!Fill()) return Result::kEnd;
      }
    }
    if (!Fill()) return Result::kEnd;
  }
}

}  // namespace vtserver
