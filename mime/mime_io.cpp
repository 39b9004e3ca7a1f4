// mime_io.cpp - file and log access of the MIME subsystem (see mime_io.h), on the Win32
// calls of the platform.
#include "mime/mime_io.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "foundation/error_text.h"
#include "foundation/log.h"
#include "platform/win32/windows.h"

namespace mime {
namespace {

std::atomic<LogSink> g_log_sink{nullptr};

void SetError(std::string* error_r) {
  if (error_r != nullptr) *error_r = foundation::ErrorText();
}

}  // namespace

SourceFile::~SourceFile() { Close(); }

SourceFile::SourceFile(SourceFile&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

SourceFile& SourceFile::operator=(SourceFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool SourceFile::Open(const std::string& path, std::string* error_r) {
  Close();
  HANDLE handle = CreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetError(error_r);
    return false;
  }
  handle_ = handle;
  return true;
}

std::int64_t SourceFile::Read(char* buffer, std::int64_t size) {
  DWORD read = 0;
  if (!ReadFile(handle_, buffer, static_cast<DWORD>(size), &read, nullptr)) return -1;
  return read;
}

bool SourceFile::Seek(std::int64_t offset) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetLastError(0);
  DWORD low = SetFilePointer(handle_, static_cast<LONG>(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != 0);
}

void SourceFile::Close() {
  if (handle_ != nullptr) {
    CloseHandle(handle_);
    handle_ = nullptr;
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes, std::string* error_r,
                  bool shared) {
  HANDLE handle = CreateFile(path.c_str(), GENERIC_WRITE,
                             shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetError(error_r);
    return false;
  }
  bool ok = true;
  SetLastError(0);
  if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != 0) {
    SetError(error_r);
    ok = false;
  }
  // Written in pieces a DWORD can count.
  while (ok && !bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) {
      SetError(error_r);
      ok = false;
      break;
    }
    bytes.remove_prefix(written);
  }
  CloseHandle(handle);
  return ok;
}

std::string CreateUniqueFile(const std::string& dir, std::string_view prefix,
                             std::string* error_r) {
  char path[MAX_PATH + 16] = {};
  std::string head(prefix);
  if (GetTempFileName(dir.c_str(), head.c_str(), 0, path) == 0) {
    SetError(error_r);
    return std::string();
  }
  return path;
}

bool RemoveFile(const std::string& path, std::string* error_r) {
  if (DeleteFile(path.c_str())) return true;
  SetError(error_r);
  return false;
}

std::int64_t FileSize(const std::string& path) {
  DWORD attributes = GetFileAttributes(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return -1;
  }
  HANDLE handle = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  DWORD high = 0;
  DWORD low = GetFileSize(handle, &high);
  CloseHandle(handle);
  if (low == INVALID_FILE_SIZE && GetLastError() != 0 && high == 0) return -1;
  return (static_cast<std::int64_t>(high) << 32) | low;
}

void SetLogSink(LogSink sink) { g_log_sink.store(sink); }

void Log(int level, const char* format, ...) {
  LogSink sink = g_log_sink.load();
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (sink != nullptr) {
    sink(level, text);
  } else if (level == kLogAlways) {
    foundation::LogAlways(text);
  } else if (foundation::DebugLevel() >= level) {
    foundation::LogDebug("%s", text);
  }
}

}  // namespace mime
