// sync_log.cpp - encoding and reading the records of a sync log.
#include "platform/crashsim/sync_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace crashsim {

void EncodeRecord(RecordKind kind, std::uint64_t inode, std::uint64_t offset,
                  std::string_view paths, std::string_view data, std::string* buffer_r) {
  RecordHeader header{};
  header.size = static_cast<std::uint32_t>(sizeof header + paths.size() + data.size());
  header.kind = static_cast<std::uint8_t>(kind);
  header.inode = inode;
  header.offset = offset;
  header.path_bytes = static_cast<std::uint32_t>(paths.size());
  buffer_r->assign(reinterpret_cast<const char*>(&header), sizeof header);
  buffer_r->append(paths);
  buffer_r->append(data);
}

bool AppendMark(const std::string& log_path, std::string_view text) {
  std::string record;
  EncodeRecord(RecordKind::kMark, 0, 0, {}, text, &record);
  int fd = ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  ::close(fd);
  return ok;
}

bool ReadLog(const std::string& path, std::vector<Record>* records_r) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  records_r->clear();
  size_t at = 0;
  while (at < bytes.size()) {
    RecordHeader header;
    if (bytes.size() - at < sizeof header) return false;
    std::memcpy(&header, bytes.data() + at, sizeof header);
    if (header.size < sizeof header || header.size > bytes.size() - at ||
        header.path_bytes > header.size - sizeof header) {
      return false;
    }
    Record record;
    record.kind = static_cast<RecordKind>(header.kind);
    record.inode = header.inode;
    record.offset = header.offset;
    record.position = at;
    std::string_view payload(bytes.data() + at + sizeof header, header.size - sizeof header);
    std::string_view paths = payload.substr(0, header.path_bytes);
    while (!paths.empty()) {
      size_t end = paths.find('\0');
      if (end == std::string_view::npos) return false;
      record.paths.emplace_back(paths.substr(0, end));
      paths.remove_prefix(end + 1);
    }
    record.data = std::string(payload.substr(header.path_bytes));
    records_r->push_back(std::move(record));
    at += header.size;
  }
  return true;
}

}  // namespace crashsim
