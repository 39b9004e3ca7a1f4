// Files, share modes, directory search and the path calls.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

using FileTest = RootTest;

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFile(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST_F(FileTest, RestrictedToTheOwnerAndNeverThroughALink) {
  WriteText("vantrel.ini", "[General]\n");
  ASSERT_EQ(::chmod(Path("vantrel.ini").c_str(), 0644), 0);
  EXPECT_TRUE(VtRestrictToOwner(Path("vantrel.ini").c_str()));
  EXPECT_EQ(ModeOf(Path("vantrel.ini")), 0600u);
  WriteText("vantrel", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(Path("vantrel").c_str(), 0755), 0);
  EXPECT_TRUE(VtRestrictToOwner(Path("vantrel").c_str()));
  EXPECT_EQ(ModeOf(Path("vantrel")), 0700u);  // still a program
  ASSERT_TRUE(CreateDirectory(Path("Quarantine").c_str(), nullptr));
  EXPECT_TRUE(VtRestrictToOwner(Path("Quarantine").c_str()));
  EXPECT_EQ(ModeOf(Path("Quarantine")), 0700u);

  WriteText("elsewhere", "not ours to change");
  ASSERT_EQ(::chmod(Path("elsewhere").c_str(), 0644), 0);
  ASSERT_EQ(::symlink(Path("elsewhere").c_str(), Path("link").c_str()), 0);
  EXPECT_FALSE(VtRestrictToOwner(Path("link").c_str()));
  EXPECT_EQ(ModeOf(Path("elsewhere")), 0644u);
  EXPECT_FALSE(VtRestrictToOwner(Path("missing").c_str()));
}

TEST_F(FileTest, ShareModesConflictBetweenThreadsAsBetweenProcesses) {
  std::string path = Path("vantrel.ini");
  WriteText("vantrel.ini", "x");
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

  HANDLE shared = Open(path, GENERIC_READ, kShared, OPEN_EXISTING);
  ASSERT_NE(shared, INVALID_HANDLE_VALUE);
  HANDLE exclusive = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  std::thread other([&] {
    exclusive = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    error = GetLastError();
  });
  other.join();
  EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE second_shared = Open(path, GENERIC_WRITE, kShared, OPEN_EXISTING);
  EXPECT_NE(second_shared, INVALID_HANDLE_VALUE);
  CloseHandle(shared);
  CloseHandle(second_shared);

  exclusive = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(path, GENERIC_READ, kShared, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  // A refused CREATE_ALWAYS must not have emptied the holder's file.
  EXPECT_EQ(Open(path, GENERIC_WRITE, kShared, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadText("vantrel.ini"), "x");
  FILE* stream = _fsopen(path.c_str(), "r", _SH_DENYNO);
  EXPECT_EQ(stream, nullptr);
  CloseHandle(exclusive);

  stream = _fsopen(path.c_str(), "r", _SH_DENYRW);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(Open(path, GENERIC_READ, kShared, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  std::fclose(stream);
  HANDLE after = Open(path, GENERIC_READ, kShared, OPEN_EXISTING);
  EXPECT_NE(after, INVALID_HANDLE_VALUE);
  CloseHandle(after);
}

TEST_F(FileTest, DispositionsAndTheirErrors) {
  std::string path = Path("0.hdf");
  HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  CloseHandle(file);

  EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  file = Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetFileSize(file, nullptr), 5u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 5u);
  EXPECT_TRUE(WriteFile(file, "!", 1, &written, nullptr));
  EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
  EXPECT_TRUE(SetEndOfFile(file));
  char buffer[16] = {};
  DWORD read = 0;
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "he");
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));  // end of file: TRUE, 0
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(SetFilePointer(file, -5, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  CloseHandle(file);

  file = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  EXPECT_EQ(GetFileSize(file, nullptr), 0u);
  CloseHandle(file);
  file = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(file);

  EXPECT_EQ(Open(Path("missing"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(Path("no/such/dir"), GENERIC_READ, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(Open(root_, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileTest, OffsetsBeyondFourGigabytesUseTheHighPart) {
  HANDLE file = Open(Path("sparse"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);  // 4 GiB + 16, a sparse end
  EXPECT_EQ(high, 1);
  ASSERT_TRUE(SetEndOfFile(file));
  DWORD size_high = 0;
  EXPECT_EQ(GetFileSize(file, &size_high), 16u);
  EXPECT_EQ(size_high, 1u);
  // A caller without a high part cannot be told the position: refused, not cut.
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size.QuadPart, (1LL << 32) + 16);
  LARGE_INTEGER back{};
  back.QuadPart = -16;
  LARGE_INTEGER position{};
  ASSERT_TRUE(SetFilePointerEx(file, back, &position, FILE_END));
  EXPECT_EQ(position.QuadPart, 1LL << 32);
  CloseHandle(file);
}

TEST_F(FileTest, MoveCopyDeleteAndDirectories) {
  WriteText("in/a.hdr", "A");
  WriteText("in/b.hdr", "B");
  EXPECT_FALSE(MoveFile(Path("in/a.hdr").c_str(), Path("in/b.hdr").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(MoveFileEx(Path("in/a.hdr").c_str(), Path("in/b.hdr").c_str(),
                         MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadText("in/b.hdr"), "A");
  EXPECT_EQ(GetFileAttributes(Path("in/a.hdr").c_str()), INVALID_FILE_ATTRIBUTES);

  EXPECT_TRUE(CopyFile(Path("in/b.hdr").c_str(), Path("in/c.hdr").c_str(), TRUE));
  EXPECT_FALSE(CopyFile(Path("in/b.hdr").c_str(), Path("in/c.hdr").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(ReadText("in/c.hdr"), "A");

  EXPECT_FALSE(RemoveDirectory(Path("in").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(DeleteFile(Path("in").c_str()));
  EXPECT_TRUE(DeleteFile(Path("in/b.hdr").c_str()));
  EXPECT_TRUE(DeleteFile(Path("in/c.hdr").c_str()));
  EXPECT_FALSE(DeleteFile(Path("in/c.hdr").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectory(Path("in").c_str()));

  EXPECT_TRUE(CreateDirectory(Path("Out").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectory(Path("Out").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectory(Path("a/b").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributes(Path("Out").c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileTest, FileInformationNamesOneDirectoryWhateverPathReachedIt) {
  WriteText("data/mail/a.nsf", "x");
  ASSERT_EQ(::symlink(Path("data").c_str(), Path("data/mail/loop").c_str()), 0);
  auto identity = [](const std::string& path) {
    HANDLE handle = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandle(handle, &info));
    CloseHandle(handle);
    return std::make_pair(info.dwVolumeSerialNumber,
                          (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
  };
  EXPECT_EQ(identity(Path("data")), identity(Path("data/mail/loop")));
  EXPECT_NE(identity(Path("data")), identity(Path("data/mail")));
  EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, nullptr));

  // The final path follows every link, of a file or a folder.
  auto final_path = [](const std::string& path) {
    HANDLE handle = CreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    char buffer[MAX_PATH] = {};
    char small[4] = {};
    EXPECT_GT(GetFinalPathNameByHandle(handle, small, sizeof small, 0), sizeof small);
    const DWORD length = GetFinalPathNameByHandle(handle, buffer, sizeof buffer, 0);
    CloseHandle(handle);
    return std::string(buffer, length);
  };
  char real_root[PATH_MAX];
  ASSERT_NE(::realpath(Path("").c_str(), real_root), nullptr);
  EXPECT_EQ(final_path(Path("data/mail/loop/mail/a.nsf")),
            std::string(real_root) + "/data/mail/a.nsf");
  EXPECT_EQ(final_path(Path("data/mail/loop")), std::string(real_root) + "/data");
  EXPECT_EQ(GetFinalPathNameByHandle(INVALID_HANDLE_VALUE, nullptr, 0, 0), 0u);
}

std::vector<std::string> Find(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATA found{};
  HANDLE search = FindFirstFile(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(found.cFileName);
  } while (FindNextFile(search, &found));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(search));
  return names;
}

TEST_F(FileTest, WildcardSearchMatchesWithoutCase) {
  WriteText("spool/Delete.TXT", "");
  WriteText("spool/1.hd0", "12345");
  WriteText("spool/2.HD0", "");
  WriteText("spool/2.hd00", "");
  WriteText("spool/noext", "");
  std::filesystem::create_directories(Path("spool/ScanDatabase"));

  using Names = std::vector<std::string>;
  EXPECT_EQ(Find(Path("spool/*.hd0")), (Names{"1.hd0", "2.HD0"}));
  EXPECT_EQ(Find(Path("spool/?.hd?")), (Names{"1.hd0", "2.HD0"}));
  EXPECT_EQ(Find(Path("spool/delete.txt")), (Names{"Delete.TXT"}));
  EXPECT_EQ(Find(Path("spool/scandatabase")), (Names{"ScanDatabase"}));
  EXPECT_EQ(Find(Path("spool/*.*")).size(), 8u);  // with "." and "..", and "noext"
  EXPECT_EQ(Find(Path("spool/*a*a*a*a*a*a*a*a*a*a*b")), Names{});

  WIN32_FIND_DATA found{};
  HANDLE search = FindFirstFile(Path("spool/1.HD0").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(found.nFileSizeLow, 5u);
  EXPECT_EQ(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(found.ftLastWriteTime.dwHighDateTime, 0u);
  EXPECT_FALSE(CloseHandle(search));  // searches end with FindClose only
  EXPECT_TRUE(FindClose(search));

  EXPECT_EQ(FindFirstFile(Path("spool/*.zip").c_str(), &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFile(Path("nodir/*").c_str(), &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, MachineDirectoriesAndTemporaryNames) {
  char buffer[MAX_PATH];
  DWORD length = GetTempPath(sizeof buffer, buffer);
  EXPECT_EQ(std::string(buffer, length), root_ + "/tmp/");
  EXPECT_EQ(GetTempPath(3, buffer), length + 1);  // too small: the size needed

  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    UINT number = GetTempFileName(Path("tmp").c_str(), "LMFX", 0, buffer);
    ASSERT_NE(number, 0u);
    std::string name = buffer;
    EXPECT_EQ(name.find(root_ + "/tmp/LMF"), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".TMP");
    EXPECT_NE(GetFileAttributes(buffer), INVALID_FILE_ATTRIBUTES);  // created
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(GetTempFileName(Path("nodir").c_str(), "LMF", 0, buffer), 0u);

  UINT size = GetWindowsDirectory(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, size), root_ + "/windows");
  EXPECT_EQ(GetSystemWindowsDirectory(buffer, sizeof buffer), size);

  LPSTR file_part = nullptr;
  length = GetFullPathName("/a/b/../c/./d.ini", sizeof buffer, buffer, &file_part);
  EXPECT_EQ(std::string(buffer, length), "/a/c/d.ini");
  ASSERT_NE(file_part, nullptr);
  EXPECT_STREQ(file_part, "d.ini");
  length = GetShortPathName("/some where/long name", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "/some where/long name");
  EXPECT_EQ(GetShortPathName("/x/y", buffer, 4), 5u);
}

TEST_F(FileTest, ModulePathFollowsTheIdentity) {
  char buffer[MAX_PATH];
  DWORD length = GetModuleFileName(nullptr, buffer, sizeof buffer);
  ASSERT_GT(length, 0u);
  EXPECT_NE(std::string(buffer).find("win32_test"), std::string::npos);
  vtplatform::MachineIdentity identity;
  identity.module_path = "/opt/domino/nRouter";
  vtplatform::SetMachineIdentity(identity);
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, sizeof buffer), 19u);
  EXPECT_STREQ(buffer, "/opt/domino/nRouter");
  // Cut to the buffer and reported as cut.
  EXPECT_EQ(GetModuleFileName(nullptr, buffer, 5), 5u);
  EXPECT_STREQ(buffer, "/opt");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
}  // namespace win32test
