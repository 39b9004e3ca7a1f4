// spool.cpp - see spool.h.
#include "vtnotes/spool.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <new>

#include "foundation/address_list.h"
#include "foundation/file_ops.h"
#include "foundation/named_objects.h"
#include "foundation/spool_line.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {

using foundation::OneLineValue;

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Trimmed(std::string_view text) {
  const char* kBlanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return std::string(text.substr(first, last - first + 1));
}

// A file handle closed on every path.
using FileHandle = foundation::UniqueHandle;

bool WriteLine(HANDLE file, const std::string& line) {
  DWORD written = 0;
  return WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
         written == line.size();
}

}  // namespace

std::string JoinPath(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && !IsSep(path.back())) path += vtplatform::kPathSep;
  path += name;
  return path;
}

std::string MailboxNumber(std::string_view canonical_path) {
  if (canonical_path.size() <= 4) {
    Log("unable to get mail box number for creating folder");
    return {};
  }
  std::string_view rest = canonical_path.substr(4);
  return std::string(rest.substr(0, rest.find('.')));
}

bool IsRouterMailBox(std::string_view canonical_path) {
  return canonical_path.find("mail") != std::string_view::npos &&
         canonical_path.find(".box") != std::string_view::npos;
}

std::string MakePerfectPathName(std::string_view text) {
  if (text.empty()) {
    Log("ERROR!!! MakePerfactPathName()...str is NULL");
    return {};
  }
  std::string clean;
  for (char c : text) {
    if (std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) continue;
    if (clean.size() == kMaxCleanName) break;
    clean += c;
  }
  return clean;
}

std::string MakeJobId(std::string_view mailbox_number, NOTEID note_id) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(note_id));
  std::string cleaned = MakePerfectPathName(hex);
  if (cleaned.empty()) return {};
  return std::string(mailbox_number) + cleaned;
}

std::string JobMutexName(std::string_view job_id) {
  return std::string(job_id) + kJobMutexSuffix;
}

std::string JobEventName(std::string_view job_id) {
  std::string name = std::string(job_id) + kJobEventSuffix;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string SpoolRelativePath(std::string_view full_path) {
  std::size_t file_start = full_path.find_last_of("/\\");
  if (file_start == std::string_view::npos) return std::string(full_path);
  std::string_view file = full_path.substr(file_start + 1);
  std::string_view dir = full_path.substr(0, file_start);
  std::size_t dir_start = dir.find_last_of("/\\");
  std::string_view last_dir = dir_start == std::string_view::npos ? dir : dir.substr(dir_start + 1);
  return std::string(last_dir) + "\\" + std::string(file);
}

std::string HeaderRecipientList(std::string_view recipients) {
  std::string list;
  for (const std::string& address : foundation::SplitAddressList(recipients)) {
    // The line separates recipients by commas: a comma of a display name would split one.
    std::string entry;
    for (char c : address)
      if (c != '"' && c != '<' && c != '>' && c != ',') entry += c;
    if (!entry.empty()) {
      if (!list.empty()) list += ',';
      list += entry;
    }
  }
  return list;
}

int CreateHeaderFile(MailInfo& info, std::string_view in_job_dir, std::string_view out_job_dir,
                     std::string_view job_id, std::uint64_t* size_r) {
  try {
    info.header_path = JoinPath(out_job_dir, "0.hdr");
  } catch (const std::bad_alloc&) {
    Always("CreateHeaderFile()...Not Enough Memory");
    return 1;
  }
  try {
    const std::string hdf_path = JoinPath(in_job_dir, "0.hdf");
    const std::string hdr_path = JoinPath(in_job_dir, "0.hdr");
    const std::string out(out_job_dir);

    // The size the engine sees: the body text and every extracted attachment. HTML parts
    // and decoded blocks were registered while the body was written and are not counted.
    std::uint64_t size = 0;
    if (!info.body_path.empty()) size += std::max<std::int64_t>(0, SpoolFileSize(info.body_path));
    for (const AttachmentNode& node : info.attachments)
      size += std::max<std::int64_t>(0, SpoolFileSize(node.file_path));
    if (size_r) *size_r = size;

    {
      FileHandle file(CreateFile(hdf_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.valid()) {
        SystemErrorLine();
        Log("ERROR!!! Unable to Create 0.hdf file Reason is above");
        return 1;
      }
      SetFilePointer(file.get(), 0, nullptr, FILE_END);

      auto write = [&](const std::string& line, const char* message) {
        if (WriteLine(file.get(), line)) return true;
        SystemErrorLine();
        Log(message, out.c_str());
        return false;
      };
      // 64-bit sizes are written whole; the line's format is a plain decimal number.
      if (!write(Format("Size: %llu\r\n", static_cast<unsigned long long>(size)),
                 "ERROR!!! %s CreateHeader()... Writing Body Entry. Error description is "
                 "mentioned above"))
        return 1;
      if (!info.body_path.empty() &&
          !write("Body: " + SpoolRelativePath(info.body_path) + "\r\n",
                 "ERROR!!! %s CreateHeader()...Writing Body Entry. Error description is "
                 "mentioned above"))
        return 1;
      if (!info.posted_date.empty() &&
          !write("Date: " + OneLineValue(info.posted_date.substr(0, kMaxPostedDateChars)) + "\r\n",
                 "ERROR!!! %s CreateHeader()...Writing Date Entry. Error description is "
                 "mentioned above"))
        return 1;
      if (!write(Format("LotusNotesMUA: %d\r\n", info.notes_client ? 1 : 0),
                 "ERROR!!! %s CreateHeader()...Writing MailerFormat Entry. Error description "
                 "is mentioned above"))
        return 1;
      if (!info.subject.empty() &&
          !write("Subject: " + OneLineValue(info.subject) + "\r\n",
                 "ERROR!!! %s CreateHeader()...Writing Subject Entry.Error description is "
                 "mentioned above"))
        return 1;
      if (!info.from.empty() &&
          !write("From: " + OneLineValue(info.from) + "\r\n",
                 "ERROR!!! %s CreateHeader()...Writing From Entry.Error description is "
                 "mentioned above"))
        return 1;
      std::string to = OneLineValue(HeaderRecipientList(info.recipients));
      if (!to.empty() && !write("To: " + to + "\r\n",
                                "ERROR!!! %s CreateHeader()...Writing TO Entry. Error "
                                "description is mentioned above"))
        return 1;
      for (const AttachmentNode& node : info.attachments) {
        if (node.file_path.empty() || node.display_name.empty()) continue;
        if (!write("Attachment: " + SpoolRelativePath(node.file_path) + "," +
                       OneLineValue(node.display_name) + "\r\n",
                   "ERROR!!! %s CreateHeader()...Writing Attachment Entry. Error description "
                   "is mentioned above"))
          return 1;
      }
      HANDLE raw = file.release();
      if (!CloseHandle(raw)) Log("%s Unable to CloseHandle of HDF File", hdf_path.c_str());
    }
    if (!foundation::MoveFileWithRetry(hdf_path, hdr_path)) return 1;
    Always("[%.*s] Successfully made %s. Waiting for Scanning...", static_cast<int>(job_id.size()),
           job_id.data(), hdr_path.c_str());
    Trace("%s to %s - _MoveFilex Function over", hdf_path.c_str(), hdr_path.c_str());
    return 0;
  } catch (...) {
    Always("ERROR!!! CreateHeader (Exception Catch)");
    return 1;
  }
}

bool ResolveInsideOut(std::string_view out_dir, std::string_view relative, std::string* full_r) {
  bool refused = relative.empty() || IsSep(relative.front()) ||
                 (relative.size() >= 2 && relative[1] == ':');
  std::string joined(out_dir);
  std::size_t start = 0;
  while (!refused && start <= relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !IsSep(relative[end])) ++end;
    std::string_view piece = relative.substr(start, end - start);
    if (piece == "..") refused = true;
    else if (!piece.empty() && piece != ".") joined = JoinPath(joined, piece);
    start = end + 1;
  }
  // A path of nothing but "." names the directory itself, not a file in it.
  if (joined.size() == out_dir.size()) refused = true;
  if (refused) {
    Always("ERROR!!! %.*s names a file outside %.*s. Refused.", static_cast<int>(relative.size()),
           relative.data(), static_cast<int>(out_dir.size()), out_dir.data());
    return false;
  }
  *full_r = joined;
  return true;
}

int ReadFromFile(std::string_view directory, std::string_view name, std::string_view out_dir,
                 MailInfo& info) {
  const std::string path = JoinPath(directory, name);
  FileHandle file(CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    SystemErrorLine();
    Log("ERROR!!! %s:Unable to Open File <%s>! Reason above. So pls wait to Complete 1st "
        "Thread...",
        "ReadFromFile()", path.c_str());
    return 100;
  }
  // What an exhausted heap stopped: the step about to grow a list or text says which.
  const char* memory_failure = "ERROR!!! ReadFromFile()...Not Enough Memory";
  try {
    MailInfo read;
    bool body_seen = false;
    auto apply = [&](std::string line) {
      line = Trimmed(line);
      std::size_t colon = line.find(':');
      if (line.empty() || colon == std::string::npos || colon == 0) return;
      std::string key = Trimmed(std::string_view(line).substr(0, colon));
      std::string value = Trimmed(std::string_view(line).substr(colon + 1));
      if (key.empty() || value.empty()) return;
      if (EqualNoCase(key, "Attachment")) {
        std::size_t comma = value.rfind(',');
        if (comma == std::string::npos) {
          Log("ERROR!!!  %s initnode()... No Comma present", value.c_str());
          return;
        }
        std::string relative = value.substr(0, comma);
        std::string alias = value.substr(comma + 1);
        if (relative.empty() || alias.empty()) {
          Log("ERROR!!! %s initnode()...either Alias (or) FileName is NULL", value.c_str());
          return;
        }
        std::string full;
        if (!ResolveInsideOut(out_dir, relative, &full)) return;
        memory_failure = "ERROR!!! ReadFromFile()...InsertNode File";
        read.attachments.push_back({alias, full});
      } else if (EqualNoCase(key, "Body")) {
        std::string full;
        if (!ResolveInsideOut(out_dir, value, &full)) return;
        read.body_path = full;
        body_seen = true;
      } else if (EqualNoCase(key, "From")) {
        read.from = value.substr(0, kMaxFromChars);
      } else if (EqualNoCase(key, "subject")) {
        read.subject = value;
      } else if (EqualNoCase(key, "To")) {
        memory_failure = "ERROR!!! ReadFromFile()...Memory Allocation For To (ReadFromFile) Fails";
        read.recipients = value;
      }
      memory_failure = "ERROR!!! ReadFromFile()...Not Enough Memory";
    };

    std::string line;
    char buffer[8192];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      for (DWORD i = 0; i < got; ++i) {
        char c = buffer[i];
        if (c == '\r' || c == '\n') {
          apply(std::move(line));
          line.clear();
        } else {
          memory_failure = "ERROR!!! ReadFromFile()...malloc Fails";
          line += c;
          // A longer line is split into pieces of the line buffer's size.
          if (line.size() == kMaxHeaderLine) {
            apply(std::move(line));
            line.clear();
          }
        }
      }
    }
    apply(std::move(line));
    if (!body_seen) {
      Trace("File Name = %s... plz wait...", path.c_str());
      return 100;
    }
    info = std::move(read);
    return 0;
  } catch (const std::bad_alloc&) {
    Log("%s", memory_failure);
    return 1;
  }
}

bool DirectoryExists(std::string_view path) {
  DWORD attributes = GetFileAttributes(std::string(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(std::string_view path) {
  DWORD attributes = GetFileAttributes(std::string(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::int64_t SpoolFileSize(std::string_view path) {
  WIN32_FIND_DATA found{};
  HANDLE find = FindFirstFile(std::string(path).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return -1;
  FindClose(find);
  if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<std::int64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

std::vector<std::string> FindAllMatches(std::string_view directory, std::string_view pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATA found{};
  HANDLE find = FindFirstFile(JoinPath(directory, pattern).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (FindNextFile(find, &found));
  FindClose(find);
  return names;
}

std::string FindFirstMatch(std::string_view directory, std::string_view pattern) {
  std::vector<std::string> names = FindAllMatches(directory, pattern);
  return names.empty() ? std::string() : names.front();
}

bool CreateSpoolDirectory(std::string_view path, bool* already_existed_r) {
  std::string directory(path);
  if (already_existed_r) *already_existed_r = false;
  if (!CreateDirectory(directory.c_str(), nullptr)) {
    if (already_existed_r) *already_existed_r = GetLastError() == ERROR_ALREADY_EXISTS;
    return false;
  }
  DWORD attributes = GetFileAttributes(directory.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES)
    SetFileAttributes(directory.c_str(), attributes & ~FILE_ATTRIBUTE_ARCHIVE);
  return true;
}

namespace {

// Removes an emptied directory, once more after 100 ms when the first try fails (a reader
// may still hold a file of it open for a moment).
void RemoveEmptiedDirectory(const std::string& directory, bool is_self) {
  if (RemoveDirectory(directory.c_str()) || !DirectoryExists(directory)) {
    Trace("Directory %s Successfully Deleted", directory.c_str());
    return;
  }
  Sleep(100);
  if (RemoveDirectory(directory.c_str()) || !DirectoryExists(directory)) {
    Trace("Directory %s Successfully Deleted", directory.c_str());
    return;
  }
  SystemErrorLine();
  Log(is_self ? "ERROR!!! Directory %s: Unable to Delete. Reason above"
              : "ERROR!!! Directory %s Unable to Delete. Reason above",
      directory.c_str());
}

void EmptyDirectory(const std::string& directory, bool remove_subdirectories) {
  std::vector<std::string> files;
  std::vector<std::string> subdirectories;
  WIN32_FIND_DATA found{};
  HANDLE find = FindFirstFile(JoinPath(directory, "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string_view name(found.cFileName);
    if (name == "." || name == "..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!EqualNoCase(name, kScanDatabaseDir)) subdirectories.emplace_back(name);
    } else {
      files.emplace_back(name);
    }
  } while (FindNextFile(find, &found));
  FindClose(find);

  for (const std::string& name : files) {
    std::string path = JoinPath(directory, name);
    if (DeleteFile(path.c_str())) {
      Trace("File %s Successfully Deleted", path.c_str());
    } else {
      SystemErrorLine();
      Log("ERROR!!! File Unable to Delete %s Reason above ", path.c_str());
    }
  }
  for (const std::string& name : subdirectories) {
    std::string path = JoinPath(directory, name);
    EmptyDirectory(path, remove_subdirectories);
    if (remove_subdirectories) RemoveEmptiedDirectory(path, false);
  }
}

}  // namespace

void DeleteTree(std::string_view directory, bool remove_self) {
  std::string path(directory);
  if (path.empty() || !DirectoryExists(path)) return;
  EmptyDirectory(path, true);
  if (remove_self) RemoveEmptiedDirectory(path, true);
}

}  // namespace vtnotes
