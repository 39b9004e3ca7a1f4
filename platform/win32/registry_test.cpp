// The registry: creation, lookup without case, the Win32 codes callers grow buffers by,
// enumeration, deletion, and persistence in the root's file.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

constexpr const char* kProductKey = "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes";

class RegistryTest : public RootTest {
 protected:
  HKEY Create(const char* path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    last_disposition_ = disposition;
    return key;
  }
  static LONG SetString(HKEY key, const char* name, const std::string& value) {
    return RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
  }
  DWORD last_disposition_ = 0;
};

TEST_F(RegistryTest, ANewRegistryIsTheAccountsAlone) {
  HKEY key = Create(kProductKey);
  EXPECT_EQ(SetString(key, "VTADMINDB", "vtquaran.nsf"), ERROR_SUCCESS);
  RegCloseKey(key);
  for (const char* file : {"registry.db", "registry.db-wal"}) {
    struct stat info {};
    ASSERT_EQ(::stat(Path(file).c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 07777, 0600u) << file;
  }
}

TEST_F(RegistryTest, KeysAndValuesCompareWithoutCase) {
  HKEY key = Create(kProductKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(last_disposition_, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(SetString(key, "VTDEBUG", "10"), ERROR_SUCCESS);
  RegCloseKey(key);

  key = Create("software\\veltrane\\Vantrel for Lotus Notes");
  EXPECT_EQ(last_disposition_, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  char buffer[16] = {};
  DWORD size = sizeof buffer;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "vtdebug", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                            &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 3u);
  EXPECT_STREQ(buffer, "10");
  // Rewriting under another spelling changes the one value.
  EXPECT_EQ(SetString(key, "VtDebug", "5"), ERROR_SUCCESS);
  DWORD values = 0;
  EXPECT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 1u);
  RegCloseKey(key);

  HKEY opened = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELTRANE", 0, KEY_READ, &opened),
            ERROR_SUCCESS);
  RegCloseKey(opened);
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, KEY_READ, &opened),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(opened, nullptr);
}

TEST_F(RegistryTest, QueryCodesLetCallersGrowTheirBuffers) {
  HKEY key = Create(kProductKey);
  EXPECT_EQ(SetString(key, "LotusNotesPath", "/opt/domino"), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueEx(key, "LotusNotesPath", nullptr, nullptr, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  char small[8];
  std::memset(small, 'Z', sizeof small);
  size = 4;
  EXPECT_EQ(RegQueryValueEx(key, "LotusNotesPath", nullptr, nullptr,
                            reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(small[0], 'Z');  // nothing written past or into a buffer that is too small
  size = sizeof small;
  EXPECT_EQ(RegQueryValueEx(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(small),
                            &size),
            ERROR_FILE_NOT_FOUND);

  DWORD number = 0x12345678;
  EXPECT_EQ(RegSetValueEx(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  const char multi[] = "one\0two\0";
  EXPECT_EQ(RegSetValueEx(key, "List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi),
                          sizeof multi),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  DWORD read_number = 0;
  DWORD type = 0;
  size = sizeof read_number;
  EXPECT_EQ(RegQueryValueEx(key, "count", nullptr, &type, reinterpret_cast<BYTE*>(&read_number),
                            &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(read_number, number);
  char list[32];
  size = sizeof list;
  EXPECT_EQ(RegQueryValueEx(key, "List", nullptr, &type, reinterpret_cast<BYTE*>(list), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::string(list, size), std::string(multi, sizeof multi));
  size = 99;
  EXPECT_EQ(RegQueryValueEx(key, "Empty", nullptr, &type, reinterpret_cast<BYTE*>(list), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  RegCloseKey(key);

  // A key opened for reading cannot be written through.
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &reader), ERROR_SUCCESS);
  EXPECT_EQ(SetString(reader, "Save", "1"), ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
}

TEST_F(RegistryTest, EnumerationAndDeletion) {
  HKEY base = Create("SOFTWARE\\Veltrane");
  HKEY product = Create(kProductKey);
  HKEY mirror = Create("SOFTWARE\\Veltrane\\WIN.INI\\Vantrel");
  RegCloseKey(mirror);
  EXPECT_EQ(SetString(product, "Timeout", "60"), ERROR_SUCCESS);
  EXPECT_EQ(SetString(product, "AdminCount", "2"), ERROR_SUCCESS);

  std::vector<std::string> subkeys;
  for (DWORD index = 0;; ++index) {
    char name[64];
    DWORD chars = sizeof name;
    LONG status = RegEnumKeyEx(base, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(chars, std::strlen(name));
    subkeys.emplace_back(name);
  }
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Vantrel For Lotus Notes", "WIN.INI"}));
  char tiny[4];
  DWORD chars = sizeof tiny;
  EXPECT_EQ(RegEnumKeyEx(base, 0, tiny, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);

  char name[32];
  char data[32];
  DWORD name_chars = sizeof name;
  DWORD data_size = sizeof data;
  DWORD type = 0;
  ASSERT_EQ(RegEnumValue(product, 0, name, &name_chars, nullptr, &type,
                         reinterpret_cast<BYTE*>(data), &data_size),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "Timeout");  // in the order written
  EXPECT_STREQ(data, "60");
  name_chars = sizeof name;
  EXPECT_EQ(RegEnumValue(product, 2, name, &name_chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegDeleteValue(product, "timeout"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(product, "Timeout"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKey(base, "WIN.INI"), ERROR_ACCESS_DENIED);  // has a subkey
  EXPECT_EQ(RegDeleteKey(base, "win.ini\\vantrel"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(base, "WIN.INI"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(base, "WIN.INI"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane"), ERROR_SUCCESS);
  // A handle to a deleted key says so.
  EXPECT_EQ(SetString(product, "Timeout", "1"), ERROR_KEY_DELETED);
  RegCloseKey(product);
  RegCloseKey(base);
  EXPECT_EQ(RegCloseKey(base), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, ValuesPersistInTheRootAndAcrossThreads) {
  HKEY key = Create(kProductKey);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([key, t] {
      for (int i = 0; i < 20; ++i) {
        std::string name = "v" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_EQ(SetString(key, name.c_str(), name), ERROR_SUCCESS);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::exists(Path("registry.db")));

  // A new connection (as another process would have) sees every value.
  vtplatform::SetSystemRoot(root_);
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD values = 0;
  EXPECT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 80u);
  RegCloseKey(key);
}

TEST_F(RegistryTest, WithoutARootTheRegistryCannotOpen) {
  vtplatform::SetSystemRoot("");
  const char* saved = std::getenv("VT_SYSROOT");
  std::string saved_value = saved == nullptr ? "" : saved;
  ::unsetenv("VT_SYSROOT");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &key), ERROR_CANTOPEN);
  if (saved != nullptr) ::setenv("VT_SYSROOT", saved_value.c_str(), 1);
}

}  // namespace
}  // namespace win32test
