// job_header.cpp - reading a scan job's header and finding its files.
#include "platform/engine/job_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace vtengine {

namespace {

// The header's first line that is not to be trusted, for the error answer.
void Refuse(JobHeader& header, std::string reason) {
  if (header.refusal.empty()) header.refusal = std::move(reason);
}

void ApplyLine(std::string_view line, JobHeader& header, std::vector<std::string>& keys_seen) {
  line = TrimLine(line);
  if (line.empty()) return;
  const std::size_t colon = line.find(':');
  const std::string_view key =
      colon == std::string_view::npos ? std::string_view() : TrimLine(line.substr(0, colon));
  if (key.empty()) {
    ++header.skipped_lines;
    Refuse(header, "the job header holds a line that is not \"Key: value\"");
    return;
  }
  const std::string_view value = TrimLine(line.substr(colon + 1));
  std::string* text = nullptr;
  if (EqualsNoCase(key, "From")) {
    text = &header.from;
  } else if (EqualsNoCase(key, "Subject")) {
    text = &header.subject;
  } else if (EqualsNoCase(key, "To")) {
    text = &header.to;
  } else if (EqualsNoCase(key, "Date")) {
    text = &header.date;
  } else if (!EqualsNoCase(key, "Body") && !EqualsNoCase(key, "Attachment") &&
             !EqualsNoCase(key, "LotusNotesMUA") && !EqualsNoCase(key, "Size") &&
             !EqualsNoCase(key, "Message-ID")) {
    ++header.skipped_lines;
    Refuse(header, "the job header holds the unknown line \"" + std::string(key) + ":\"");
    return;
  }
  // Every key but Attachment is written once. A second one comes from a value that broke
  // its line (a subject carrying a line feed): taking either would let the mail's sender
  // choose what is scanned.
  if (!EqualsNoCase(key, "Attachment")) {
    std::string lower(key);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (std::find(keys_seen.begin(), keys_seen.end(), lower) != keys_seen.end()) {
      ++header.skipped_lines;
      Refuse(header, "the job header repeats the line \"" + std::string(key) + ":\"");
      return;
    }
    keys_seen.push_back(std::move(lower));
  }
  if (value.empty()) {
    ++header.skipped_lines;
    return;
  }
  if (text) {
    *text = std::string(value);
  } else if (EqualsNoCase(key, "Body")) {
    header.body = std::string(value);
  } else if (EqualsNoCase(key, "Attachment")) {
    auto attachment = SplitAttachmentValue(value);
    if (!attachment) {
      ++header.skipped_lines;
      Refuse(header, "the job header holds an Attachment line without path and name");
      return;
    }
    header.attachments.push_back(std::move(*attachment));
  } else if (EqualsNoCase(key, "LotusNotesMUA")) {
    header.lotus_notes_mua = value == "1";
  }
  // Size and Message-ID are known, but nothing the engine acts on.
  ++header.recognised_lines;
}

bool HasDriveLetter(std::string_view element) {
  return element.size() >= 2 && element[1] == ':' &&
         std::isalpha(static_cast<unsigned char>(element[0]));
}

}  // namespace

std::string_view TrimLine(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

JobHeader ParseJobHeader(std::string_view text) {
  JobHeader header;
  std::vector<std::string> keys_seen;  // lower case, Attachment left out
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    // A longer line is cut and the rest dropped. The system's reader would read the rest
    // as a line of its own, but the subject comes from the mail's sender: a subject long
    // enough would then let the sender write a "Body:" or "Attachment:" line of his own.
    if (line.size() > kMaxHeaderLine) {
      line = line.substr(0, kMaxHeaderLine);
      ++header.skipped_lines;
    }
    ApplyLine(line, header, keys_seen);
    pos = end + 1;
  }
  return header;
}

std::optional<JobHeader> ReadJobHeader(const std::string& path, std::string* error_r) {
  // O_NOFOLLOW: a job directory is written by another process; a header that is a link
  // would make the engine read whatever it points at.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error_r = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) {
    *error_r = path + " is not a regular file";
  } else if (static_cast<std::size_t>(st.st_size) > kMaxHeaderBytes) {
    ok = false;
    *error_r = path + " is larger than a job header can be";
  } else {
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        *error_r = "cannot read " + path + ": " + std::strerror(errno);
        break;
      }
      if (n == 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
      if (text.size() > kMaxHeaderBytes) {
        ok = false;
        *error_r = path + " is larger than a job header can be";
        break;
      }
    }
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return ParseJobHeader(text);
}

std::optional<std::string> ResolveJobPath(const std::string& in_dir, const std::string& job_name,
                                          std::string_view rel_path, std::string* error_r) {
  std::string normal(rel_path);
  for (char& c : normal) {
    if (c == '\\') c = '/';
  }
  if (normal.empty() || normal.front() == '/') {
    *error_r = "path \"" + std::string(rel_path) + "\" is absolute or empty";
    return std::nullopt;
  }
  std::vector<std::string_view> elements;
  std::string_view rest(normal);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view element = rest.substr(0, slash);
    if (!element.empty()) elements.push_back(element);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  for (const std::string_view element : elements) {
    if (element == "." || element == ".." || HasDriveLetter(element)) {
      *error_r = "path \"" + std::string(rel_path) + "\" leaves the job directory";
      return std::nullopt;
    }
  }
  if (elements.size() < 2 || !EqualsNoCase(elements.front(), job_name)) {
    *error_r = "path \"" + std::string(rel_path) + "\" is not inside job directory " + job_name;
    return std::nullopt;
  }
  std::string resolved = in_dir + "/" + job_name;
  for (std::size_t i = 1; i < elements.size(); ++i) {
    resolved += '/';
    resolved += elements[i];
  }
  return resolved;
}

std::optional<HeaderAttachment> SplitAttachmentValue(std::string_view value) {
  const std::size_t comma = value.rfind(',');
  if (comma == std::string_view::npos) return std::nullopt;
  HeaderAttachment attachment{std::string(TrimLine(value.substr(0, comma))),
                              std::string(TrimLine(value.substr(comma + 1))), std::string(value)};
  if (attachment.path.empty() || attachment.display_name.empty()) return std::nullopt;
  return attachment;
}

std::vector<HeaderAttachment> AttachmentSplits(std::string_view value) {
  std::vector<HeaderAttachment> splits;
  for (std::size_t comma = value.rfind(','); comma != std::string_view::npos && comma > 0;
       comma = value.rfind(',', comma - 1)) {
    HeaderAttachment split{std::string(TrimLine(value.substr(0, comma))),
                           std::string(TrimLine(value.substr(comma + 1))), std::string(value)};
    if (!split.path.empty() && !split.display_name.empty()) splits.push_back(std::move(split));
  }
  return splits;
}

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> entries;
  while (true) {
    const std::size_t comma = list.find(',');
    const std::string_view entry = TrimLine(list.substr(0, comma));
    if (!entry.empty()) entries.emplace_back(entry);
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return entries;
}

}  // namespace vtengine
