// uuencode.cpp - uuencoded blocks to job attachments (see uuencode.h).
#include "foundation/uuencode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "foundation/binhex.h"
#include "foundation/config.h"
#include "foundation/spool_line.h"
#include "foundation/utilities.h"
#include "foundation/yenc.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace foundation {
namespace {

constexpr std::size_t kReadBufferBytes = 65536;
constexpr std::size_t kWriteBufferBytes = 65536;
constexpr char kGrave = '`';
// Draws of a decoded-file name before giving up on a job directory that has them all.
constexpr int kUuNameAttempts = 16;
// Lines of a body text: the text writer cuts its lines far below this.
constexpr std::size_t kBodyTextLineBytes = 65536;

// Owns one Win32 file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  [[nodiscard]] bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const { return handle_; }
  [[nodiscard]] HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
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
  // Lines are cut at line_bytes - 1 bytes.
  LineReader(HANDLE handle, std::size_t line_bytes)
      : handle_(handle), line_bytes_(line_bytes), buffer_(new char[kReadBufferBytes]) {}

  // Next line into line_r; false at end of input. start_r gets the line's offset. A raw
  // line keeps its NUL and Ctrl-Z bytes (they are data in a yEnc block).
  [[nodiscard]] bool Next(std::string* line_r, std::int64_t* start_r, bool raw = false) {
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
      Append(line_r, begin, cursor, raw, line_bytes_);
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
  // Appends a piece of a line: NUL bytes dropped, Ctrl-Z skipped (unless raw), cut at the
  // line buffer.
  static void Append(std::string* line, const char* begin, const char* end, bool raw,
                     std::size_t line_bytes) {
    std::size_t room = line_bytes - 1 - line->size();
    std::size_t length = static_cast<std::size_t>(end - begin);
    if (raw || (std::memchr(begin, '\0', length) == nullptr &&
                std::memchr(begin, 0x1A, length) == nullptr)) {
      line->append(begin, std::min(length, room));
      return;
    }
    for (const char* p = begin; p < end && line->size() < line_bytes - 1; ++p) {
      if (*p != '\0' && *p != 0x1A) line->push_back(*p);
    }
  }
  int Peek() { return Fill() ? static_cast<unsigned char>(buffer_[position_]) : -1; }

  HANDLE handle_;
  std::size_t line_bytes_;
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

// One conversion: the job's files and what every kind of block needs of them.
class Conversion {
 public:
  Conversion(const std::string& job_dir, LineReader& reader, BufferedWriter& body_out,
             const UuConvertOptions& options, bool* found_r)
      : job_dir_(job_dir),
        header_path_(job_dir + vtplatform::kPathSep + "0.hdf"),
        reader_(reader),
        body_out_(body_out),
        options_(options),
        found_r_(found_r) {
    std::size_t dir_end = job_dir.find_last_of("/\\");
    job_name_ = dir_end == std::string::npos ? job_dir : job_dir.substr(dir_end + 1);
  }

  void Text(std::string_view line) {
    body_out_.Write(line);
    body_out_.Write("\r\n");
  }

  // A new decoded file: a fresh name for every block, a name already taken in the job (two
  // draws alike) drawn again, so that no block overwrites another's file.
  // INVALID_HANDLE_VALUE when none could be made.
  HANDLE NewDecodedFile(std::string* path_r) {
    FileHandle decoded;
    for (int attempt = 0; attempt < kUuNameAttempts && !decoded.IsOpen(); ++attempt) {
      *path_r = job_dir_ + vtplatform::kPathSep;
      UniqueSuffix(*path_r, 0);
      *path_r += ".ATT";
      decoded.Reset(CreateFile(path_r->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!decoded.IsOpen() && GetLastError() != ERROR_FILE_EXISTS &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        break;
      }
    }
    return decoded.release();
  }

  // Appends the "Attachment:" line of a decoded file to 0.hdf.
  bool Register(const std::string& decoded_path, std::string_view raw_name) {
    if (!options_.register_headers) return true;
    const std::string header_line = "Attachment: " + job_name_ + "\\" +
                                    decoded_path.substr(job_dir_.size() + 1) + "," +
                                    OneLineValue(UuDisplayName(raw_name, options_.allow_msb)) +
                                    "\r\n";
    FileHandle header(CreateFile(header_path_.c_str(), GENERIC_WRITE,
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
  }

  void Found() {
    if (found_r_ != nullptr) *found_r_ = true;
  }

  // A block that turned out not to be one: its first line stays text, and the lines after
  // it are read again as text. False when the input cannot be positioned there.
  [[nodiscard]] bool KeepAsText(std::string_view first_line, std::int64_t after_first) {
    Text(first_line);
    return reader_.Seek(after_first);
  }

  LineReader& reader() { return reader_; }
  const UuConvertOptions& options() const { return options_; }

 private:
  const std::string& job_dir_;
  std::string job_name_;
  std::string header_path_;
  LineReader& reader_;
  BufferedWriter& body_out_;
  const UuConvertOptions& options_;
  bool* found_r_;
};

enum class Step { kNext, kStop, kFail };

// A line beginning with "begin": a uuencoded block, or text after all.
Step ConvertUuBlock(Conversion& conversion, const std::string& line) {
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
    conversion.Text(line);
    return Step::kNext;
  }
  LineReader& reader = conversion.reader();
  std::string decoded_path;
  FileHandle decoded(conversion.NewDecodedFile(&decoded_path));
  const std::int64_t after_begin = reader.Tell();
  if (!decoded.IsOpen()) {
    // The block is announced even though its file could not be made.
    return conversion.Register(decoded_path, file_name) ? Step::kNext : Step::kFail;
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
    return conversion.KeepAsText(line, after_begin) ? Step::kNext : Step::kStop;
  }
  if (!conversion.Register(decoded_path, file_name)) return Step::kFail;
  conversion.Found();
  // A block cut short by a text line: the text goes on from that line.
  if (block.end == BlockEnd::kStopped && !reader.Seek(block.stop_line)) return Step::kStop;
  return Step::kNext;
}

// A "=ybegin" line: a yEnc block, decoded into a file when it is whole, else text.
Step ConvertYencBlock(Conversion& conversion, const std::string& line) {
  YencLine begin;
  if (!ParseYencBegin(line, &begin)) {
    conversion.Text(line);
    return Step::kNext;
  }
  LineReader& reader = conversion.reader();
  const std::int64_t after_begin = reader.Tell();
  std::string decoded_path;
  FileHandle decoded(conversion.NewDecodedFile(&decoded_path));
  if (!decoded.IsOpen()) return conversion.KeepAsText(line, after_begin) ? Step::kNext : Step::kStop;
  YencDecoder decoder;
  std::int64_t part_size = -1;
  bool whole = false;
  bool written = false;
  {
    BufferedWriter decoded_out(decoded.get());
    std::string raw;
    std::string bytes;
    std::int64_t start = 0;
    bool first = true;
    while (reader.Next(&raw, &start, true)) {
      if (!raw.empty() && raw.back() == '\r') raw.pop_back();
      if (first && begin.part >= 0 && ParseYencPart(raw, &part_size)) {
        first = false;
        continue;
      }
      first = false;
      YencLine end;
      if (ParseYencEnd(raw, &end)) {
        whole = decoder.size() > 0 && decoder.Matches(begin, part_size, end);
        break;
      }
      if (raw.rfind("=ybegin ", 0) == 0) break;  // the next block began before this ended
      bytes.clear();
      decoder.Line(raw, &bytes);
      decoded_out.Write(bytes);
    }
    written = decoded_out.Flush();
  }
  decoded.Close();
  if (!whole || !written) {
    (void)DeleteFile(decoded_path.c_str());
    return conversion.KeepAsText(line, after_begin) ? Step::kNext : Step::kStop;
  }
  if (!conversion.Register(decoded_path, std::string_view(begin.name).substr(0, kUuNameChars)))
    return Step::kFail;
  conversion.Found();
  return Step::kNext;
}

// The BinHex 4.0 start line: the block after it decoded into files when it is whole (the
// data fork, and the resource fork when it has one), else text.
Step ConvertBinHexBlock(Conversion& conversion, const std::string& line) {
  LineReader& reader = conversion.reader();
  const std::int64_t after_start = reader.Tell();
  std::string data_path;
  std::string resource_path;
  FileHandle data_file(conversion.NewDecodedFile(&data_path));
  if (!data_file.IsOpen())
    return conversion.KeepAsText(line, after_start) ? Step::kNext : Step::kStop;
  FileHandle resource_file;
  BinHexDecoder decoder;
  std::int64_t data_bytes = 0;
  std::int64_t resource_bytes = 0;
  bool written = true;
  {
    BufferedWriter data_out(data_file.get());
    std::unique_ptr<BufferedWriter> resource_out;
    std::string text;
    std::string data;
    std::string resource;
    std::int64_t start = 0;
    while (decoder.state() != BinHexDecoder::State::kDone &&
           decoder.state() != BinHexDecoder::State::kBroken && reader.Next(&text, &start)) {
      data.clear();
      resource.clear();
      (void)decoder.Line(text, &data, &resource);
      data_out.Write(data);
      data_bytes += static_cast<std::int64_t>(data.size());
      if (!resource.empty()) {
        if (!resource_out) {
          resource_file.Reset(conversion.NewDecodedFile(&resource_path));
          if (!resource_file.IsOpen()) break;
          resource_out = std::make_unique<BufferedWriter>(resource_file.get());
        }
        resource_out->Write(resource);
        resource_bytes += static_cast<std::int64_t>(resource.size());
      }
    }
    written = data_out.Flush() && (!resource_out || resource_out->Flush());
  }
  data_file.Close();
  resource_file.Close();
  const bool whole = decoder.state() == BinHexDecoder::State::kDone && written &&
                     data_bytes + resource_bytes > 0;
  if (!whole || data_bytes == 0) (void)DeleteFile(data_path.c_str());
  if (!whole && !resource_path.empty()) (void)DeleteFile(resource_path.c_str());
  if (!whole) return conversion.KeepAsText(line, after_start) ? Step::kNext : Step::kStop;
  const std::string name = decoder.name();
  if (data_bytes > 0 && !conversion.Register(data_path, name)) return Step::kFail;
  if (resource_bytes > 0 && !conversion.Register(resource_path, name + ".rsrc"))
    return Step::kFail;
  conversion.Found();
  return Step::kNext;
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
  LineReader reader(input.get(), options.body_text ? kBodyTextLineBytes : kUuLineBytes);
  Conversion conversion(job_dir, reader, body_out, options, found_r);
  std::string line;
  std::int64_t line_start = 0;
  int result = 0;
  while (reader.Next(&line, &line_start, options.body_text)) {
    if (options.body_text) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
    } else {
      NormaliseLine(line);
    }
    Step step = Step::kNext;
    if (!options.body_text && IsBeginLine(line)) {
      step = ConvertUuBlock(conversion, line);
    } else if (line.rfind("=ybegin ", 0) == 0) {
      step = ConvertYencBlock(conversion, line);
    } else if (IsBinHexStartLine(line)) {
      step = ConvertBinHexBlock(conversion, line);
    } else {
      conversion.Text(line);
    }
    if (step == Step::kFail) result = -1;
    if (step != Step::kNext) break;
  }
  if (!body_out.Flush() && result == 0) result = -1;
  return result;
}

namespace {

// Whether a line of the file begins a yEnc or BinHex block: the body text is rewritten only
// then. Read in pieces; a start split between two pieces is found through the overlap.
bool HasEncodedBlockStart(const std::string& path) {
  FileHandle file(CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsOpen()) return false;
  static constexpr std::string_view kStarts[] = {"\n=ybegin ",
                                                 "\n(This file must be converted with BinHex"};
  constexpr std::size_t kOverlap = 64;
  std::string window = "\n";  // the file's first line starts after a line end too
  std::unique_ptr<char[]> buffer(new char[kReadBufferBytes]);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get(), static_cast<DWORD>(kReadBufferBytes), &read, nullptr) ||
        read == 0)
      return false;
    window.append(buffer.get(), read);
    for (std::string_view start : kStarts) {
      if (window.find(start) != std::string::npos) return true;
    }
    window.erase(0, window.size() > kOverlap ? window.size() - kOverlap : 0);
  }
}

}  // namespace

int ConvertEncodedBodyText(std::string_view job_dir_view, bool* found_r) {
  const std::string job_dir(job_dir_view);
  const std::string body_path = job_dir + vtplatform::kPathSep + "0.bdy";
  if (!HasEncodedBlockStart(body_path)) return 0;
  // The text is read from a copy under another name and written to 0.bdy afresh.
  const std::string text_path = job_dir + vtplatform::kPathSep + "0.bdt";
  if (!MoveFileEx(body_path.c_str(), text_path.c_str(), MOVEFILE_REPLACE_EXISTING)) return -1;
  UuConvertOptions options;
  options.body_text = true;
  options.allow_msb = ReadAllowMsb();
  if (ConvertUuncodeAttachment(job_dir, text_path, found_r, options) != 0) {
    (void)DeleteFile(body_path.c_str());
    (void)MoveFileEx(text_path.c_str(), body_path.c_str(), MOVEFILE_REPLACE_EXISTING);
    return -1;
  }
  (void)DeleteFile(text_path.c_str());
  return 0;
}

}  // namespace foundation
