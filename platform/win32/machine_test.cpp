// Machine identity, error texts, time pictures, command lines and the process token.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

using MachineTest = RootTest;

TEST_F(MachineTest, DefaultIdentityIsACurrentNtServer) {
  OSVERSIONINFOEX info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionEx(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.wSuiteMask & VER_SUITE_TERMINAL, 0);
  char user[UNLEN + 1];
  DWORD size = sizeof user;
  ASSERT_TRUE(GetUserName(user, &size));
  EXPECT_STREQ(user, "SYSTEM");
  EXPECT_EQ(size, 7u);
}

TEST_F(MachineTest, IdentityCanBeSetForEveryBranch) {
  vtplatform::MachineIdentity terminal;
  terminal.major = 5;
  terminal.minor = 2;
  terminal.terminal_server = true;
  terminal.account_name = "NETWORK SERVICE";
  vtplatform::SetMachineIdentity(terminal);
  OSVERSIONINFOEX info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionEx(&info));
  EXPECT_EQ(info.dwMinorVersion, 2u);
  EXPECT_EQ(info.wSuiteMask & VER_SUITE_TERMINAL, VER_SUITE_TERMINAL);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  DWORD needed = 0;
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::string buffer(needed, '\0');
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed));
  LPSTR sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid));
  EXPECT_STREQ(sid, "S-1-5-20");
  LocalFree(sid);
  CloseHandle(token);

  vtplatform::MachineIdentity old;
  old.major = 4;
  old.minor = 10;
  old.nt_family = false;
  old.terminal_server = true;  // never reported by the 9x family
  vtplatform::SetMachineIdentity(old);
  OSVERSIONINFO plain{};
  plain.dwOSVersionInfoSize = sizeof plain;
  ASSERT_TRUE(GetVersionEx(&plain));
  EXPECT_EQ(plain.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_EQ(plain.dwMinorVersion, 10u);
  ASSERT_TRUE(GetVersionEx(&info));
  EXPECT_EQ(info.wSuiteMask, 0);
  plain.dwOSVersionInfoSize = 3;
  EXPECT_FALSE(GetVersionEx(&plain));

  char user[4];
  DWORD size = sizeof user;
  vtplatform::SetMachineIdentity(terminal);
  EXPECT_FALSE(GetUserName(user, &size));
  EXPECT_EQ(size, 16u);
}

TEST_F(MachineTest, SystemTextsEndInALineEndAndSocketCodesHaveNone) {
  LPSTR text = nullptr;
  DWORD length = FormatMessage(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, ERROR_SHARING_VIOLATION, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(length, std::strlen(text));
  EXPECT_EQ(std::string(text),
            "The process cannot access the file because it is being used by another process."
            "\r\n");
  EXPECT_EQ(LocalFree(text), nullptr);

  for (DWORD code : {10004u, 10060u, 11001u, 424242u}) {
    text = nullptr;
    EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(text, nullptr);
  }
  char small[8];
  EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, small,
                          sizeof small, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(vtplatform::Win32ErrorFromErrno(ENOENT), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

TEST_F(MachineTest, TimePicturesAndFileTimes) {
  SYSTEMTIME time{};
  time.wYear = 2024;
  time.wMonth = 3;
  time.wDay = 5;
  time.wDayOfWeek = 2;
  time.wHour = 14;
  time.wMinute = 7;
  time.wSecond = 9;
  char buffer[64];
  EXPECT_EQ(GetDateFormat(LOCALE_SYSTEM_DEFAULT, 0, &time, "dd MMM yyyy", buffer, sizeof buffer),
            12);
  EXPECT_STREQ(buffer, "05 Mar 2024");
  EXPECT_EQ(GetTimeFormat(LOCALE_SYSTEM_DEFAULT, 0, &time, "HH':'mm':'ss", buffer, sizeof buffer),
            9);
  EXPECT_STREQ(buffer, "14:07:09");
  EXPECT_EQ(GetTimeFormat(LOCALE_SYSTEM_DEFAULT, 0, &time, "h tt", buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "2 PM");
  EXPECT_EQ(GetDateFormat(LOCALE_SYSTEM_DEFAULT, 0, &time, "dddd", buffer, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  FILETIME file_time{};
  ASSERT_TRUE(SystemTimeToFileTime(&time, &file_time));
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(&file_time, &back));
  EXPECT_EQ(back.wYear, 2024);
  EXPECT_EQ(back.wDay, 5);
  EXPECT_EQ(back.wDayOfWeek, 2);
  EXPECT_EQ(back.wSecond, 9);
  time.wMonth = 13;
  EXPECT_FALSE(SystemTimeToFileTime(&time, &file_time));

  DWORD before = GetTickCount();
  Sleep(20);
  EXPECT_GE(GetTickCount() - before, 19u);
}

TEST_F(MachineTest, ChildrenRunOnTheSameRootAndRelativeRootsAreMadeAbsolute) {
  std::string line = "\"" + HelperPath() + "\" - root \"" + Path("seen") + "\"";
  STARTUPINFO startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcess(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            "/", &startup, &process));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(ReadText("seen"), root_);

  vtplatform::SetSystemRoot("relative/root/");
  std::string absolute = vtplatform::SystemRoot();
  EXPECT_EQ(absolute.front(), '/');
  EXPECT_EQ(absolute.substr(absolute.size() - 14), "/relative/root");
}

TEST_F(MachineTest, CommandLinesSplitAsTheCRuntimeSplitsThem) {
  std::string out = Path("args.txt");
  std::string line = "\"" + HelperPath() + "\" \"" + root_ + "\" args \"" + out +
                     "\" plain \"two words\" a\\\\\\\"b \"c\\\\\" \"\" x\"y z\"";
  STARTUPINFO startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcess(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            root_.c_str(), &startup, &process));
  EXPECT_EQ(process.dwProcessId, process.dwThreadId);
  ASSERT_EQ(WaitForSingleObject(process.hThread, 10000), WAIT_OBJECT_0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(ReadText("args.txt"), "plain\ntwo words\na\\\"b\nc\\\n\nxy z\n");

  // A program name with ".exe" finds the program without the suffix.
  std::string exe = "\"" + HelperPath() + ".exe\" \"" + root_ + "\" exit 4";
  ASSERT_TRUE(CreateProcess(nullptr, exe.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
  EXPECT_EQ(code, 4u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);

  // An unquoted program path with blanks is read a word at a time, as Windows reads it:
  // "<root>/sp ace/helper.exe <root> exit 5" runs "<root>/sp ace/helper" with the rest.
  std::filesystem::create_directories(Path("sp ace"));
  std::filesystem::copy_file(HelperPath(), Path("sp ace/helper"));
  std::string blank = Path("sp ace/helper.exe") + " " + root_ + " exit 5";
  ASSERT_TRUE(CreateProcess(nullptr, blank.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
  EXPECT_EQ(code, 5u);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::string nowhere = Path("sp ace/nothing.exe") + " x";
  EXPECT_FALSE(CreateProcess(nullptr, nowhere.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  std::string missing = "/no/such/vantrel.exe";
  EXPECT_FALSE(CreateProcess(nullptr, missing.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CreateProcess(nullptr, exe.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             Path("nodir").c_str(), &startup, &process));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
}

}  // namespace
}  // namespace win32test
