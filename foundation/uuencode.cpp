// uuencode.cpp - uuencoded blocks to job attachments (see uuencode.h).
#include "foundation/uuencode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/config.h"
#include "foundation/spool_line.h"
#include "foundation/utilities.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace foundation {
namespace {

constexpr std::size_t kReadBufferBytes = 65536;
constexpr std::size_t kWriteBufferBytes = 65536;
constexpr char kGrave = '`';
// Draws of a decoded-file name before giving up on a job directory that has them all.
constexpr int kUuNameAttempts = 16;

// Owns one Win32 file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  [[nodiscard]] bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  void Reset(HANDLE handle) {
    Close();
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Appends to a file through a buffer; the first failed write makes every later one fail.
class BufferedWriter {
 public:
  explicit BufferedWriter(HANDLE handle) : handle_(handle) { buffer_.reserve(kWriteBufferBytes); }
  ~BufferedWriter() { (void)Flush(); }
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  void Write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kWriteBufferBytes) (void)Flush();
    if (bytes.size() >= kWriteBufferBytes) {
      Put(bytes);
    } else {
      buffer_.append(bytes);
    }
  }
  [[nodiscard]] bool Flush() {
    Put(buffer_);
    buffer_.clear();
    return ok_;
  }

 private:
  void Put(std::string_view bytes) {
    while (ok_ && !bytes.empty()) {
      DWORD written = 0;
      if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
          written == 0) {
        ok_ = false;
        break;
      }
      bytes.remove_prefix(written);
    }
  }

  HANDLE handle_;
  std::string buffer_;
  bool ok_ = true;
};

// Reads lines ended by CR, LF or CR LF; NUL bytes are dropped, Ctrl-Z is skipped, and the
// part of a line beyond the line buffer is read and dropped. Knows the offset of every
// line so that the conversion can go back to one.
class LineReader {
 public:
  explicit LineReader(HANDLE handle) : handle_(handle), buffer_(new char[kReadBufferBytes]) {}

  // Next line into line_r; false at end of input. start_r gets the line's offset.
  [[nodiscard]] bool Next(std::string* line_r, std::int64_t* start_r) {
    line_r->clear();
    *start_r = Tell();
    bool any = false;
    for (;;) {
      if (!Fill()) return any;
      any = true;
      const char* begin = buffer_.get() + position_;
      const char* end = buffer_.get() + count_;
      const char* cursor = begin;
      while (cursor < end && *cursor != '\n' && *cursor != '\r') ++cursor;
      Append(line_r, begin, cursor);
      position_ += static_cast<std::size_t>(cursor - begin);
      if (cursor == end) continue;
      ++position_;
      if (*cursor == '\r' && Peek() == '\n') ++position_;
      return true;
    }
  }
  // The first byte of the next line, or -1 at end of input.
  [[nodiscard]] int PeekLineStart() { return Peek(); }
  [[nodiscard]] std::int64_t Tell() const { return buffer_offset_ + static_cast<std::int64_t>(position_); }
  [[nodiscard]] bool Seek(std::int64_t offset) {
    if (offset >= buffer_offset_ && offset <= buffer_offset_ + static_cast<std::int64_t>(count_)) {
      position_ = static_cast<std::size_t>(offset - buffer_offset_);
      return true;
    }
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(0);
    DWORD low = SetFilePointer(handle_, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) return false;
    buffer_offset_ = offset;
    count_ = 0;
    position_ = 0;
    return true;
  }

 private:
  [[nodiscard]] bool Fill() {
    if (position_ < count_) return true;
    buffer_offset_ += static_cast<std::int64_t>(count_);
    count_ = 0;
    position_ = 0;
    DWORD read = 0;
    if (!ReadFile(handle_, buffer_.get(), static_cast<DWORD>(kReadBufferBytes), &read, nullptr)) {
      return false;
    }
    count_ = read;
    return read > 0;
  }
  // Appends a piece of a line: NUL bytes dropped, Ctrl-Z skipped, cut at the line buffer.
  static void Append(std::string* line, const char* begin, const char* end) {
    std::size_t room = kUuLineBytes - 1 - line->size();
    std::size_t length = static_cast<std::size_t>(end - begin);
    if (std::memchr(begin, '\0', length) == nullptr && std::memchr(begin, 0x1A, length) == nullptr) {
      line->append(begin, std::min(length, room));
      return;
    }
    for (const char* p = begin; p < end && line->size() < kUuLineBytes - 1; ++p) {
      if (*p != '\0' && *p != 0x1A) line->push_back(*p);
    }
  }
  int Peek() { return Fill() ? static_cast<unsigned char>(buffer_[position_]) : -1; }

  HANDLE handle_;
  std::unique_ptr<char[]> buffer_;
  std::int64_t buffer_offset_ = 0;
  std::size_t count_ = 0;
  std::size_t position_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// A line of the input as the conversion sees it: one of two leading dots dropped, blank
// lines made empty, trailing blanks, tabs, CR and LF removed.
void NormaliseLine(std::string& line) {
  if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
  std::size_t end = line.size();
  while (end > 0 && (IsBlank(line[end - 1]) || line[end - 1] == '\r' || line[end - 1] == '\n')) {
    --end;
  }
  line.resize(end);
}

// The end line is "end" alone on its line. A data line of 37 bytes has the length
// character 'E' and may well go on with "ND": only the word standing alone ends a block.
bool IsEndLine(std::string_view line) {
  while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  return EqualsNoCase(line, "end");
}

bool IsBeginLine(std::string_view line) {
  return line.size() >= 5 && line.substr(0, 5) == "begin" &&
         (line.size() == 5 || IsBlank(line[5]));
}

// One uuencoded character to its six bits, or -1 when it is not one. Characters mangled
// by gateways (shifted by 64) are brought back first.
constexpr int UuValueOf(int c) {
  if (c == kGrave) return 0;
  if (c <= 30) c += 64;
  else if (c >= 96) c -= 64;
  if (c < 31 || c > 95) return -1;
  return (c - 32) & 63;
}

constexpr std::array<std::int8_t, 256> MakeUuTable() {
  std::array<std::int8_t, 256> table{};
  for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::int8_t>(UuValueOf(c));
  return table;
}

constexpr std::array<std::int8_t, 256> kUuTable = MakeUuTable();

int UuValue(char c) { return kUuTable[static_cast<unsigned char>(c)]; }

enum class BlockEnd { kFinished, kStopped };

struct BlockResult {
  BlockEnd end = BlockEnd::kFinished;
  std::int64_t data_lines = 0;
  std::int64_t bytes = 0;
  std::int64_t stop_line = 0;  // offset of the line that stopped the block
};

// Decodes one data line into out; false when the line is not uuencoded data. A line that
// ends inside its data may continue on the next line (which then starts with a blank) or
// be padded with blanks (the next line starts with a grave accent: mailers strip trailing
// blanks). At the end of the input a partial line is not data.
bool DecodeDataLine(std::string_view line, LineReader& reader, std::string* out) {
  const int count = (static_cast<unsigned char>(line[0]) - 32) & 63;
  const std::size_t wanted = 4 * ((static_cast<std::size_t>(count) + 2) / 3);
  std::string_view data;
  std::string_view after;
  std::string joined;     // only for a line that ends inside its data
  std::string continued;
  if (line.size() >= 1 + wanted) {
    data = line.substr(1, wanted);
    after = line.substr(1 + wanted);
  } else {
    joined.assign(line.substr(1));
    while (joined.size() < wanted) {
      int next = reader.PeekLineStart();
      if (next < 0) return false;  // the input ends the block; a partial line is not data
      if (next == kGrave) {
        joined.append(wanted - joined.size(), ' ');
      } else if (next == ' ') {
        std::int64_t ignored = 0;
        if (!reader.Next(&continued, &ignored)) return false;
        std::size_t take = std::min(continued.size(), wanted - joined.size());
        joined.append(continued, 0, take);
        after = std::string_view(continued).substr(take);
      } else {
        return false;
      }
    }
    data = joined;
  }
  if (!after.empty() && after[0] != kGrave) return false;
  char bytes[66];
  std::size_t produced = 0;
  for (std::size_t group = 0; group + 4 <= data.size(); group += 4) {
    const int v0 = UuValue(data[group]);
    const int v1 = UuValue(data[group + 1]);
    const int v2 = UuValue(data[group + 2]);
    const int v3 = UuValue(data[group + 3]);
    if ((v0 | v1 | v2 | v3) < 0) return false;
    bytes[produced] = static_cast<char>((v0 << 2) | (v1 >> 4));
    bytes[produced + 1] = static_cast<char>((v1 << 4) | (v2 >> 2));
    bytes[produced + 2] = static_cast<char>((v2 << 6) | v3);
    produced += 3;
  }
  out->append(bytes, std::min(produced, static_cast<std::size_t>(count)));
  return true;
}

BlockResult DecodeBlock(LineReader& reader, BufferedWriter& output) {
  BlockResult result;
  std::string line;
  std::string decoded;
  std::int64_t start = 0;
  while (reader.Next(&line, &start)) {
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
    if (IsEndLine(line)) {
      if (result.data_lines > 0) return result;
      continue;
    }
    if (line.empty()) continue;
    if (((static_cast<unsigned char>(line[0]) - 32) & 63) == 0) continue;
    decoded.clear();
    if (!DecodeDataLine(line, reader, &decoded)) {
      result.end = BlockEnd::kStopped;
      result.stop_line = start;
      return result;
    }
    output.Write(decoded);
    result.bytes += static_cast<std::int64_t>(decoded.size());
    ++result.data_lines;
  }
  return result;
}

// The maker value "AllowMSB": 1 keeps trailing bytes above 127 in display names.
bool ReadAllowMsb() {
  std::string value;
  return ReadMakerValue("AllowMSB", value) && std::atoi(value.c_str()) == 1;
}

}  // namespace

std::string UuDisplayName(std::string_view file_name, bool allow_msb) {
  while (!file_name.empty() && IsBlank(file_name.front())) file_name.remove_prefix(1);
  while (!file_name.empty() && IsBlank(file_name.back())) file_name.remove_suffix(1);
  while (!file_name.empty() && file_name.front() == '"') file_name.remove_prefix(1);
  auto trailing_junk = [allow_msb](char c) {
    return IsBlank(c) || c == '"' || c == '.' || c == ':' || c == ';' || c == '\\' || c == '/' ||
           (!allow_msb && static_cast<unsigned char>(c) > 127);
  };
  while (!file_name.empty() && trailing_junk(file_name.back())) file_name.remove_suffix(1);
  std::size_t last_dot = file_name.rfind('.');
  std::string name;
  for (std::size_t i = 0; i < file_name.size(); ++i) {
    char c = file_name[i];
    // Both separators go: the name is shown and stored, never used as a path.
    if (c == '"' || c == '\\' || c == '/') continue;
    if (c == '.' && i != last_dot) c = '_';
    // A comma would split the header line's path from its name at the wrong place.
    if (c == ',') c = '_';
    name.push_back(Lower(c));
  }
  return name;
}

int ConvertUuncodeAttachment(std::string_view job_dir, std::string_view input_path, bool* found_r,
                             bool register_headers) {
  UuConvertOptions options;
  options.register_headers = register_headers;
  options.allow_msb = ReadAllowMsb();
  return ConvertUuncodeAttachment(job_dir, input_path, found_r, options);
}

int ConvertUuncodeAttachment(std::string_view job_dir_view, std::string_view input_view,
                             bool* found_r, const UuConvertOptions& options) {
  const std::string job_dir(job_dir_view);
  const std::string input_path(input_view);
  if (job_dir.empty() || input_path.empty()) return -1;

  FileHandle input;
  for (int attempt = 0; attempt < kUuOpenAttempts; ++attempt) {
    HANDLE handle = CreateFile(input_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      input.Reset(handle);
      break;
    }
    // Only another holder of the file is worth waiting for; a missing file stays missing.
    DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) {
      break;
    }
    Sleep(kUuOpenRetryMs);
  }
  if (!input.IsOpen()) return -1;

  const std::string body_path = job_dir + vtplatform::kPathSep + "0.bdy";
  FileHandle body(CreateFile(body_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!body.IsOpen()) return -1;
  SetLastError(0);
  if (SetFilePointer(body.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != 0) {
    return -1;
  }
  BufferedWriter body_out(body.get());

  std::size_t dir_end = job_dir.find_last_of("/\\");
  std::string job_name = dir_end == std::string::npos ? job_dir : job_dir.substr(dir_end + 1);
  const std::string header_path = job_dir + vtplatform::kPathSep + "0.hdf";

  LineReader reader(input.get());
  std::string line;
  std::int64_t line_start = 0;
  int result = 0;
  while (reader.Next(&line, &line_start)) {
    NormaliseLine(line);
    if (!IsBeginLine(line)) {
      body_out.Write(line);
      body_out.Write("\r\n");
      continue;
    }
    // "begin <mode> <name>": the name is the rest after the second token, or the second
    // token when nothing follows it.
    std::string_view rest = line;
    auto next_token = [&rest]() {
      while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
      std::size_t end = 0;
      while (end < rest.size() && !IsBlank(rest[end])) ++end;
      std::string_view token = rest.substr(0, end);
      rest.remove_prefix(end);
      return token;
    };
    (void)next_token();
    std::string_view second = next_token();
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    std::string_view file_name = rest.empty() ? second : rest.substr(0, kUuNameChars);
    if (file_name.empty()) {
      body_out.Write(line);
      body_out.Write("\r\n");
      continue;
    }
    const std::string display_name = OneLineValue(UuDisplayName(file_name, options.allow_msb));
    // A fresh name for every block: a name already taken in the job (two draws alike) is
    // drawn again, so that no block overwrites another's file.
    std::string decoded_path;
    FileHandle decoded;
    for (int attempt = 0; attempt < kUuNameAttempts && !decoded.IsOpen(); ++attempt) {
      decoded_path = job_dir + vtplatform::kPathSep;
      UniqueSuffix(decoded_path, 0);
      decoded_path += ".ATT";
      decoded.Reset(CreateFile(decoded_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!decoded.IsOpen() && GetLastError() != ERROR_FILE_EXISTS &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        break;
      }
    }
    std::string decoded_name = decoded_path.substr(job_dir.size() + 1);
    const std::string header_line =
        "Attachment: " + job_name + "\\" + decoded_name + "," + display_name + "\r\n";
    auto register_file = [&]() {
      if (!options.register_headers) return true;
      FileHandle header(CreateFile(header_path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!header.IsOpen()) return false;
      SetLastError(0);
      if (SetFilePointer(header.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
          GetLastError() != 0) {
        return false;
      }
      DWORD written = 0;
      return WriteFile(header.get(), header_line.data(), static_cast<DWORD>(header_line.size()),
                       &written, nullptr) &&
             written == header_line.size();
    };

    const std::int64_t after_begin = reader.Tell();
    if (!decoded.IsOpen()) {
      // The block is announced even though its file could not be made.
      if (!register_file()) {
        result = -1;
        break;
      }
      continue;
    }
    BlockResult block;
    bool written = false;
    {
      BufferedWriter decoded_out(decoded.get());
      block = DecodeBlock(reader, decoded_out);
      written = decoded_out.Flush();
    }
    decoded.Close();
    if (block.bytes == 0 || !written) {
      // Not a block after all (a text line that starts with "begin", or a block without
      // data): the line stays text and the empty file goes.
      (void)DeleteFile(decoded_path.c_str());
      body_out.Write(line);
      body_out.Write("\r\n");
      if (!reader.Seek(after_begin)) break;
      continue;
    }
    if (!register_file()) {
      result = -1;
      break;
    }
    if (found_r != nullptr) *found_r = true;
    // A block cut short by a text line: the text goes on from that line.
    if (block.end == BlockEnd::kStopped && !reader.Seek(block.stop_line)) break;
  }
  if (!body_out.Flush() && result == 0) result = -1;
  return result;
}

}  // namespace foundation
