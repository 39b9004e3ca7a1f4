// Fuzz target: a whole SMTP conversation, command lines and message text, as the listener
// reads it from a socket. The first byte picks how many bytes each read hands over, so the
// line reader meets every split of CR LF; the rest is the client's bytes.
//
// Besides what the sanitizers catch, it aborts when the session breaks one of its promises:
// a reply that is not "NNN" text ending in CR LF, a message begun twice or ended twice or
// written to while no message is open, a message stored over the size limit, an address
// holding a control character, or the open message not ended when the session goes.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/server/smtp_session.h"

namespace {

using vtserver::LineReader;
using vtserver::MessageSink;
using vtserver::SmtpEnvelope;
using vtserver::SmtpLimits;
using vtserver::SmtpSession;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HasControl(std::string_view text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

struct SinkState {
  bool open = false;
  size_t bytes = 0;
  size_t limit = 0;
};

MessageSink CheckingSink(SinkState* state) {
  MessageSink sink;
  sink.begin = [state] {
    Check(!state->open);
    state->open = true;
    state->bytes = 0;
    return true;
  };
  sink.append = [state](std::string_view text) {
    Check(state->open);
    Check(!text.empty() && text.back() == '\n');
    state->bytes += text.size();
    Check(state->bytes <= state->limit);
    return true;
  };
  sink.store = [state](const SmtpEnvelope& envelope, std::string* id_r) {
    Check(state->open);
    state->open = false;
    Check(!envelope.recipients.empty());
    Check(!HasControl(envelope.sender));
    for (const std::string& recipient : envelope.recipients) Check(!HasControl(recipient));
    id_r->assign(1, '1');
    return true;
  };
  sink.discard = [state] {
    Check(state->open);
    state->open = false;
  };
  return sink;
}

void CheckReply(const std::string& reply) {
  if (reply.empty()) return;
  Check(reply.size() >= 5 && reply.substr(reply.size() - 2) == "\r\n");
  size_t line_start = 0;
  while (line_start < reply.size()) {
    size_t line_end = reply.find("\r\n", line_start);
    Check(line_end != std::string::npos && line_end - line_start >= 4);
    Check(reply[line_start] >= '2' && reply[line_start] <= '5');
    Check(std::isdigit(static_cast<unsigned char>(reply[line_start + 1])) &&
          std::isdigit(static_cast<unsigned char>(reply[line_start + 2])));
    Check(reply[line_start + 3] == ' ' || reply[line_start + 3] == '-');
    line_start = line_end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = static_cast<size_t>(data[0] % 64) + 1;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  SinkState state;
  SmtpLimits limits;
  // Small limits, so that short inputs reach the size and line-length refusals.
  limits.max_command_line = 64;
  limits.max_text_line = 80;
  limits.max_message_bytes = 400;
  limits.max_recipients = 4;
  state.limit = limits.max_message_bytes;
  {
    SmtpSession session("mx.fuzz", limits, CheckingSink(&state));
    size_t position = 0;
    LineReader reader([&](char* buffer, size_t buffer_size) -> long {
      size_t count = std::min({chunk, buffer_size, input.size() - position});
      input.copy(buffer, count, position);
      position += count;
      return static_cast<long>(count);
    });
    // Read as nsmtp reads: whole lines for commands, pieces that a bare LF also ends for the
    // message text.
    std::string line;
    bool overlong = false;
    bool bare_lf = false;
    while (!session.Closed()) {
      bool in_data = session.InData();
      LineReader::Result result =
          in_data ? reader.NextTextPiece(session.LineLimit(), &line, &overlong, &bare_lf)
                  : reader.Next(session.LineLimit(), &line, &overlong);
      if (result != LineReader::Result::kLine) break;
      Check(line.size() <= session.LineLimit());
      Check(line.find("\r\n") == std::string::npos);
      if (in_data) Check(line.find('\n') == std::string::npos);
      CheckReply(session.OnLine(line, overlong, in_data && bare_lf));
    }
  }
  Check(!state.open);  // the session ended its message when it went
  return 0;
}
