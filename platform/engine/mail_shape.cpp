// mail_shape.cpp - see mail_shape.h.
#include "platform/engine/mail_shape.h"

#include <unistd.h>

#include <cctype>
#include <string_view>

#include "platform/engine/file_scanner.h"

namespace vtengine {
namespace {

constexpr std::size_t kReadBytes = 65536;
// Header lines are looked at up to this length; the media type comes first in a
// Content-Type line, so a longer line loses only parameters.
constexpr std::size_t kHeaderLineBytes = 4096;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The media type of a Content-Type value, lower case, without parameters or comments.
std::string MediaType(std::string_view value) {
  std::string type;
  for (char c : value) {
    if (c == ';' || c == '(') break;
    if (c == ' ' || c == '\t') continue;
    type.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return type;
}

// Walks the header sections of a MIME text line by line.
class SectionWalker {
 public:
  // False once a message/partial header section was seen.
  bool Line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!in_headers_) {
      // A delimiter line starts a part: its header section follows.
      if (line.size() >= 2 && line[0] == '-' && line[1] == '-') StartSection();
      return true;
    }
    if (line.empty()) return EndSection();
    if (line[0] == ' ' || line[0] == '\t') {
      if (in_content_type_) content_type_.append(line);
      return true;
    }
    if (line.find(':') == std::string_view::npos) {
      // Not a header line: what follows the delimiter is content without headers.
      in_headers_ = false;
      return true;
    }
    in_content_type_ = StartsWithNoCase(line, "content-type:");
    if (in_content_type_) content_type_.assign(line.substr(13));
    return true;
  }
  bool Finish() { return in_headers_ ? EndSection() : true; }

 private:
  void StartSection() {
    in_headers_ = true;
    in_content_type_ = false;
    content_type_.clear();
  }
  bool EndSection() {
    const std::string type = MediaType(content_type_);
    if (type == "message/partial") return false;
    // An enclosed message's own header section follows the part's.
    if (type == "message/rfc822") {
      StartSection();
    } else {
      in_headers_ = false;
    }
    return true;
  }

  bool in_headers_ = true;  // the message's own header section comes first
  bool in_content_type_ = false;
  std::string content_type_;
};

}  // namespace

bool HoldsPartialMessage(const std::string& path) {
  ScanTarget target;
  std::string ignored;
  if (!target.Open(path, &ignored)) return false;
  SectionWalker walker;
  std::string buffer(kReadBytes, '\0');
  std::string line;
  bool line_cut = false;
  for (;;) {
    const ssize_t count = ::read(target.fd(), buffer.data(), buffer.size());
    if (count <= 0) break;
    std::string_view chunk(buffer.data(), static_cast<std::size_t>(count));
    while (!chunk.empty()) {
      const std::size_t end = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, end);
      if (!line_cut) {
        const std::size_t room = kHeaderLineBytes - line.size();
        line.append(piece.substr(0, room));
        line_cut = piece.size() > room;
      }
      if (end == std::string_view::npos) break;
      if (!walker.Line(line)) return true;
      line.clear();
      line_cut = false;
      chunk.remove_prefix(end + 1);
    }
  }
  if (!line.empty() && !walker.Line(line)) return true;
  return !walker.Finish();
}

}  // namespace vtengine
