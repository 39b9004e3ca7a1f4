// runtime.cpp - runtime start and stop, thread accounting, status texts, notes.ini, memory
// blocks and time conversions of the Notes stand-in.
//
// The root (VT_SYSROOT) and the directories below it are fixed when the runtime starts;
// notes.ini itself is read on every variable lookup, so a change by another process (the
// provisioning tool, an administrator) is seen at once. Writes replace the file through a
// temporary file and a rename, so a reader never sees half a file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/notes/group_commit.h"
#include "platform/notes/notes_internal.h"
#include "platform/win32/machine.h"

namespace notes_internal {
namespace {

struct RuntimeState {
  std::mutex mutex;
  int init_count = 0;
  std::thread::id init_thread;
  std::string root;
  std::string program_dir;
  std::string data_dir;
  std::string server_name;
};

RuntimeState& Runtime() {
  static RuntimeState* state = new RuntimeState;  // lives past static destructors
  return *state;
}

std::atomic<bool> g_running{false};
thread_local int t_thread_inits = 0;
thread_local std::string t_formula_error;

constexpr const char* kDefaultServerName = "CN=Server/O=Example";

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string NotesIniPath(const std::string& root) {
  return root + vtplatform::kPathSep + "domino" + vtplatform::kPathSep + "notes.ini";
}

// Reads notes.ini as lines; variables are "name=value" lines outside or in [Notes].
std::vector<std::string> ReadIniLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool FindIniValue(const std::vector<std::string>& lines, std::string_view name,
                  std::string* value_r, size_t* line_r) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (!EqualNoCase(Trim(std::string_view(line).substr(0, equals)), name)) continue;
    std::string value = Trim(std::string_view(line).substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (value_r != nullptr) *value_r = value;
    if (line_r != nullptr) *line_r = i;
    return true;
  }
  return false;
}

bool ReadIniVariable(std::string_view name, std::string* value_r) {
  std::string root;
  {
    std::lock_guard<std::mutex> lock(Runtime().mutex);
    root = Runtime().root;
  }
  if (root.empty()) root = vtplatform::SystemRoot();
  if (root.empty()) return false;
  return FindIniValue(ReadIniLines(NotesIniPath(root)), name, value_r, nullptr);
}

// Replaces or removes one variable; the file lock keeps two writers from losing each
// other's change.
bool WriteIniVariable(std::string_view name, const char* value) {
  std::string root = RootDirectory();
  if (root.empty()) return false;
  const std::string path = NotesIniPath(root);
  const std::string lock_path = path + ".lck";
  int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return false;
  ::flock(lock_fd, LOCK_EX);
  std::vector<std::string> lines = ReadIniLines(path);
  size_t at = 0;
  bool found = FindIniValue(lines, name, nullptr, &at);
  bool remove = value == nullptr || *value == '\0';
  if (found && remove) {
    lines.erase(lines.begin() + static_cast<long>(at));
  } else if (!remove) {
    std::string line = std::string(name) + "=" + value;
    if (found) {
      lines[at] = line;
    } else {
      if (lines.empty()) lines.push_back("[Notes]");
      lines.push_back(line);
    }
  }
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  bool ok = false;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << "\n";
    ok = static_cast<bool>(out);
  }
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  ::flock(lock_fd, LOCK_UN);
  ::close(lock_fd);
  return ok;
}

struct StatusText {
  STATUS code;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {STR_VERSION_TEXT, "Release 1.0 (platform stand-in)"},
    {ERR_MEMORY, "Insufficient memory"},
    {ERR_NOT_INITIALIZED,
     "Notes is not initialized for this thread (call NotesInitThread first)"},
    {ERR_NOEXIST, "File does not exist"},
    {ERR_EXISTS, "File already exists"},
    {ERR_FILE_IO, "File read or write failed"},
    {ERR_INVALID_HANDLE, "Invalid handle: it was closed or never issued"},
    {ERR_HANDLE_KIND, "Handle is of the wrong kind for this call"},
    {ERR_BAD_PARAM, "Invalid argument"},
    {ERR_PATH_TOO_LONG, "File name is too long"},
    {ERR_NO_ROOT, "Unable to find the machine root (VT_SYSROOT is unset or missing)"},
    {ERR_SERVER_UNREACHABLE, "Server not responding: unable to find a path to the server"},
    {ERR_BUFFER_TOO_SMALL, "Buffer is too small for the value"},
    {ERR_ENV_WRITE, "Unable to write notes.ini"},
    {ERR_HOOK_LOAD, "Unable to load a database hook library or find its entry point"},
    {ERR_NOT_IMPLEMENTED, "Operation is not supported"},
    {ERR_NOT_DATABASE, "File is not a database"},
    {ERR_DB_DAMAGED, "Database is damaged"},
    {ERR_DB_BUSY, "Database is locked by another writer and did not become free"},
    {ERR_DB_WRITE, "Unable to write to the database; nothing was changed"},
    {ERR_INVALID_NOTE, "Invalid or nonexistent document"},
    {ERR_NOTE_NOT_SAVED, "Document has not been saved yet"},
    {ERR_ITEM_NAME_TOO_LONG, "Item name is too long (more than 255 bytes)"},
    {ERR_ITEM_TYPE, "Item is not of the expected data type"},
    {ERR_ITEM_TOO_LARGE, "Item value is too large"},
    {ERR_LIST_ENTRY, "List entry number is out of range"},
    {ERR_NOT_ATTACHMENT, "Item is not a file attachment"},
    {ERR_OBJECT_MISSING, "Attachment content is missing from the database"},
    {ERR_BAD_VALUE, "Item value is malformed"},
    {ERR_HOOK_REFUSED, "Operation refused by a database hook"},
    {ERR_DB_NOT_SYNCED, "Unable to write the database to the disk; the change may be lost"},
    {ERR_ITEM_NOT_FOUND, "Item not found"},
    {ERR_NOTE_DELETED, "Document has been deleted"},
    {ERR_FORMULA_SYNTAX, "Formula syntax error"},
    {ERR_FORMULA_EVAL, "Formula could not be evaluated"},
    {ERR_FORMULA_UNAVAILABLE, "Not a compiled formula"},
    {ERR_MAIL_NO_BODY, "Message has no body item"},
    {ERR_MAIL_BAD_ITEM_CODE, "Unknown message header item number"},
    {ERR_MAIL_NO_ATTACHMENT, "Message has no such attachment"},
    {ERR_ADDIN_NO_STATUS_LINE, "No status line for this task"},
};

}  // namespace

STATUS CheckThread() {
  if (!g_running.load(std::memory_order_acquire)) return ERR_NOT_INITIALIZED;
#ifdef VT_CHECKED
  if (t_thread_inits > 0) return NOERROR;
  std::lock_guard<std::mutex> lock(Runtime().mutex);
  if (Runtime().init_thread != std::this_thread::get_id()) return ERR_NOT_INITIALIZED;
#endif
  return NOERROR;
}

std::string RootDirectory() {
  std::lock_guard<std::mutex> lock(Runtime().mutex);
  return Runtime().root;
}
std::string DataDirectory() {
  std::lock_guard<std::mutex> lock(Runtime().mutex);
  return Runtime().data_dir;
}
std::string ProgramDirectory() {
  std::lock_guard<std::mutex> lock(Runtime().mutex);
  return Runtime().program_dir;
}
std::string ServerName() {
  std::string name;
  if (ReadIniVariable("ServerName", &name) && !name.empty()) return name;
  return kDefaultServerName;
}

void SetLastFormulaError(std::string text) { t_formula_error = std::move(text); }
std::string LastFormulaError() { return t_formula_error; }

WORD CopyOut(std::string_view text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  size_t length = std::min(text.size(), size - 1);
  if (length > MAXWORD) length = MAXWORD;
  if (length > 0) std::memcpy(buffer, text.data(), length);  // an empty view may be null
  buffer[length] = '\0';
  return static_cast<WORD>(length);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

long long TimeTicks(const TIMEDATE& time) {
  unsigned long long bits = (static_cast<unsigned long long>(time.Innards[1]) << 32) |
                            time.Innards[0];
  return static_cast<long long>(bits);
}

TIMEDATE TimeFromTicks(long long ticks) {
  auto bits = static_cast<unsigned long long>(ticks);
  TIMEDATE time;
  time.Innards[0] = static_cast<DWORD>(bits & 0xFFFFFFFFu);
  time.Innards[1] = static_cast<DWORD>(bits >> 32);
  return time;
}

}  // namespace notes_internal

using namespace notes_internal;

STATUS NotesInitExtended(int argc, char** argv) {
  RuntimeState& state = Runtime();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.init_count > 0) {
    ++state.init_count;
    return NOERROR;
  }
  std::string root = vtplatform::SystemRoot();
  struct stat info;
  if (root.empty() || ::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return ERR_NO_ROOT;
  }
  state.root = root;
  state.program_dir = root + vtplatform::kPathSep + "domino";
  state.data_dir = state.program_dir + vtplatform::kPathSep + "data";
  std::vector<std::string> lines = ReadIniLines(NotesIniPath(root));
  std::string value;
  // Relative settings are taken relative to the root: the root plays the whole machine.
  auto absolute = [&root](const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : root + vtplatform::kPathSep + path;
  };
  if (FindIniValue(lines, "Directory", &value, nullptr) && !value.empty()) {
    state.data_dir = absolute(value);
  }
  if (FindIniValue(lines, "NotesProgram", &value, nullptr) && !value.empty()) {
    state.program_dir = absolute(value);
  }
  // Only a test machine turns syncing off (see group_commit.h).
  SetSyncEnabled(!FindIniValue(lines, "NSF_SyncCommits", &value, nullptr) ||
                 std::strtol(value.c_str(), nullptr, 10) != 0);
  while (state.data_dir.size() > 1 && state.data_dir.back() == '/') state.data_dir.pop_back();
  while (state.program_dir.size() > 1 && state.program_dir.back() == '/') {
    state.program_dir.pop_back();
  }
  state.init_count = 1;
  state.init_thread = std::this_thread::get_id();
  g_running.store(true, std::memory_order_release);
  return NOERROR;
}

STATUS NotesInit() { return NotesInitExtended(0, nullptr); }

void NotesTerm() {
  RuntimeState& state = Runtime();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.init_count == 0) return;
    if (--state.init_count > 0) return;
  }
  // Term hooks may still call Notes, so the runtime stays up while they run.
  RunTermHooks();
  VtRemoveHooks();
  std::vector<HandleObject> leftovers;
  ClearHandles(&leftovers);
  leftovers.clear();
  std::lock_guard<std::mutex> lock(state.mutex);
  g_running.store(false, std::memory_order_release);
  state.init_thread = std::thread::id();
  state.root.clear();
}

STATUS NotesInitThread() {
  if (!g_running.load(std::memory_order_acquire)) return ERR_NOT_INITIALIZED;
  ++t_thread_inits;
  return NOERROR;
}

void NotesTermThread() {
  if (t_thread_inits > 0) --t_thread_inits;
}

WORD OSLoadString(DHANDLE module, STATUS code, char* buffer, WORD buffer_len) {
  STATUS masked = ERR(code);
  if (buffer != nullptr && buffer_len > 0) buffer[0] = '\0';
  if (masked == ERR_FORMULA_SYNTAX) {
    std::string detail = LastFormulaError();
    std::string text = "Formula syntax error";
    if (!detail.empty()) text += ": " + detail;
    return CopyOut(text, buffer, buffer_len);
  }
  for (const StatusText& entry : kStatusTexts) {
    if (entry.code == masked) return CopyOut(entry.text, buffer, buffer_len);
  }
  return 0;
}

BOOL OSGetEnvironmentString(const char* name, char* value, WORD max_len) {
  if (value != nullptr && max_len > 0) value[0] = '\0';
  if (name == nullptr) return FALSE;
  std::string text;
  if (!ReadIniVariable(name, &text)) return FALSE;
  CopyOut(text, value, max_len);
  return TRUE;
}

long OSGetEnvironmentLong(const char* name) {
  std::string text;
  if (name == nullptr || !ReadIniVariable(name, &text)) return 0;
  return std::strtol(text.c_str(), nullptr, 10);
}

void OSSetEnvironmentVariable(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return;
  (void)WriteIniVariable(name, value);
}

void OSSetEnvironmentInt(const char* name, int value) {
  std::string text = std::to_string(value);
  OSSetEnvironmentVariable(name, text.c_str());
}

WORD OSGetDataDirectory(char* path_r) { return CopyOut(DataDirectory(), path_r, MAXPATH); }
WORD OSGetExecutableDirectory(char* path_r) {
  return CopyOut(ProgramDirectory(), path_r, MAXPATH);
}
WORD OSGetServerName(char* name_r, WORD max_len) {
  return CopyOut(ServerName(), name_r, max_len);
}

STATUS OSPathNetConstruct(const char* port, const char* server, const char* file,
                          char* path_r) {
  if (file == nullptr || path_r == nullptr) return ERR_BAD_PARAM;
  std::string path;
  if (server != nullptr && *server != '\0') path = std::string(server) + "!!";
  path += file;
  if (path.size() >= MAXPATH) return ERR_PATH_TOO_LONG;
  CopyOut(path, path_r, MAXPATH);
  return NOERROR;
}

STATUS OSPathNetParse(const char* path, char* port_r, char* server_r, char* file_r) {
  if (path == nullptr) return ERR_BAD_PARAM;
  std::string_view text(path);
  std::string_view server;
  std::string_view file = text;
  size_t bangs = text.find("!!");
  if (bangs != std::string_view::npos) {
    server = text.substr(0, bangs);
    file = text.substr(bangs + 2);
  }
  if (server.size() >= MAXPATH || file.size() >= MAXPATH) return ERR_PATH_TOO_LONG;
  if (port_r != nullptr) port_r[0] = '\0';
  if (server_r != nullptr) CopyOut(server, server_r, MAXPATH);
  if (file_r != nullptr) CopyOut(file, file_r, MAXPATH);
  return NOERROR;
}

STATUS OSMemAlloc(WORD block_type, DWORD size, DHANDLE* handle_r) {
  if (handle_r == nullptr) return ERR_BAD_PARAM;
  *handle_r = NULLHANDLE;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  auto block = std::make_shared<MemoryBlock>();
  try {
    block->bytes.assign(size, '\0');
  } catch (const std::bad_alloc&) {
    return ERR_MEMORY;
  }
  *handle_r = AddHandle(block);
  return NOERROR;
}

void* OSLockObject(DHANDLE handle) {
  HandleObject object;
  if (!FindHandle(handle, &object)) return nullptr;
  if (auto* block = std::get_if<std::shared_ptr<MemoryBlock>>(&object)) {
    return (*block)->bytes.data();
  }
  if (auto* body = std::get_if<std::shared_ptr<BodyItem>>(&object)) {
    return (*body)->rendered.data();
  }
  return nullptr;
}

BOOL OSUnlockObject(DHANDLE handle) {
  HandleObject object;
  return FindHandle(handle, &object) ? TRUE : FALSE;
}

STATUS OSMemFree(DHANDLE handle) {
  HandleObject object;
  if (!FindHandle(handle, &object)) return ERR_INVALID_HANDLE;
  if (!std::holds_alternative<std::shared_ptr<MemoryBlock>>(object) &&
      !std::holds_alternative<std::shared_ptr<BodyItem>>(object)) {
    return ERR_HANDLE_KIND;
  }
  if (!RemoveHandle(handle, &object)) return ERR_INVALID_HANDLE;
  return NOERROR;
}

DWORD OSMemGetSize(DHANDLE handle) {
  std::shared_ptr<MemoryBlock> block;
  if (FindMemory(handle, &block) != NOERROR) return 0;
  return static_cast<DWORD>(block->bytes.size());
}

void OSCurrentTIMEDATE(TIMEDATE* now_r) {
  if (now_r == nullptr) return;
  auto now = std::chrono::system_clock::now().time_since_epoch();
  long long hundredths = std::chrono::duration_cast<std::chrono::milliseconds>(now).count() / 10;
  *now_r = TimeFromTicks(hundredths);
}

BOOL TimeDateEqual(const TIMEDATE* a, const TIMEDATE* b) {
  if (a == nullptr || b == nullptr) return FALSE;
  return TimeTicks(*a) == TimeTicks(*b) ? TRUE : FALSE;
}

int TimeDateCompare(const TIMEDATE* a, const TIMEDATE* b) {
  long long left = a != nullptr ? TimeTicks(*a) : 0;
  long long right = b != nullptr ? TimeTicks(*b) : 0;
  return left < right ? -1 : (left > right ? 1 : 0);
}

TIMEDATE VtTimeDateFromUnix(long long seconds) { return TimeFromTicks(seconds * 100); }
long long VtTimeDateToUnix(const TIMEDATE& time) { return TimeTicks(time) / 100; }

STATUS ConvertTIMEDATEToText(const void* intl_format, const void* text_format,
                             const TIMEDATE* time, char* buffer_r, WORD buffer_len,
                             WORD* text_len_r) {
  if (time == nullptr || buffer_r == nullptr || buffer_len == 0) return ERR_BAD_PARAM;
  std::time_t seconds = static_cast<std::time_t>(TimeTicks(*time) / 100);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return ERR_BAD_VALUE;
  int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d %s", local.tm_mon + 1,
                local.tm_mday, local.tm_year + 1900, hour12, local.tm_min, local.tm_sec,
                local.tm_hour < 12 ? "AM" : "PM");
  if (std::strlen(text) >= buffer_len) return ERR_BUFFER_TOO_SMALL;
  WORD length = CopyOut(text, buffer_r, buffer_len);
  if (text_len_r != nullptr) *text_len_r = length;
  return NOERROR;
}

STATUS ConvertTextToTIMEDATE(const void* intl_format, const void* text_format, char** text_ptr,
                             WORD max_len, TIMEDATE* time_r) {
  if (text_ptr == nullptr || *text_ptr == nullptr || time_r == nullptr) return ERR_BAD_PARAM;
  std::string text(*text_ptr, strnlen(*text_ptr, max_len));
  std::tm local{};
  local.tm_isdst = -1;
  int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char meridian[3] = {0, 0, 0};
  int fields = std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d %2s", &month, &day, &year, &hour,
                           &minute, &second, meridian);
  if (fields >= 3) {
    if (fields == 7 && (meridian[0] == 'P' || meridian[0] == 'p') && hour < 12) hour += 12;
    if (fields == 7 && (meridian[0] == 'A' || meridian[0] == 'a') && hour == 12) hour = 0;
  } else {
    fields = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour,
                         &minute, &second);
    if (fields < 3) return ERR_BAD_VALUE;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60) {
    return ERR_BAD_VALUE;
  }
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1)) return ERR_BAD_VALUE;
  *time_r = TimeFromTicks(static_cast<long long>(seconds) * 100);
  *text_ptr += text.size();
  return NOERROR;
}

STATUS ConvertFLOATToText(const void* intl_format, const void* number_format,
                          const NUMBER* number, char* buffer_r, WORD buffer_len,
                          WORD* text_len_r) {
  if (number == nullptr || buffer_r == nullptr || buffer_len == 0) return ERR_BAD_PARAM;
  char text[64];
  if (std::isfinite(*number) && std::fabs(*number) < 1e15 &&
      *number == std::floor(*number)) {
    std::snprintf(text, sizeof text, "%.0f", *number);
  } else {
    std::snprintf(text, sizeof text, "%.15g", *number);
  }
  if (std::strlen(text) >= buffer_len) return ERR_BUFFER_TOO_SMALL;
  WORD length = CopyOut(text, buffer_r, buffer_len);
  if (text_len_r != nullptr) *text_len_r = length;
  return NOERROR;
}

void OSPreemptOccasionally() { std::this_thread::yield(); }
