// config_test.cpp - the WIN.INI reader's sources, the INI overlay, product values, the
// install-directory search and the logging settings read from them.
#include "foundation/config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/log_settings.h"
#include "foundation/test_root.h"

namespace foundation {
namespace {

using testing::ReadWhole;
using testing::TestRoot;

// Sets a registry value of any type under HKEY_LOCAL_MACHINE.
void SetValue(const std::string& key_path, const std::string& name, DWORD type,
              const void* data, DWORD size) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueEx(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

void SetString(const std::string& key_path, const std::string& name, const std::string& value) {
  SetValue(key_path, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetWinIniProbe();
    program_ = root_.Path("domino/nrouter");
    root_.Write("domino/nrouter", "");
    vtplatform::MachineIdentity identity;
    identity.module_path = program_;
    vtplatform::SetMachineIdentity(identity);
  }
  void TearDown() override { ResetWinIniProbe(); }

  void SetIdentity(unsigned major, unsigned minor, bool terminal_server) {
    vtplatform::MachineIdentity identity;
    identity.major = major;
    identity.minor = minor;
    identity.terminal_server = terminal_server;
    identity.module_path = program_;
    vtplatform::SetMachineIdentity(identity);
  }

  TestRoot root_;
  std::string program_;
};

TEST_F(ConfigTest, WinIniSources) {
  root_.Write("windows/win.ini",
              "[Vantrel]\nInstallDirectory=/system/dir\nprogressover=system\n"
              "[Other]\nkey=system other\n");
  EXPECT_EQ(ReadWinIni("vantrel", "InstallDirectory", "dflt"), "/system/dir");
  EXPECT_EQ(ReadWinIni("Vantrel", "Missing", "dflt"), "dflt");

  // A WIN.INI beside the running program serves the product sections, except
  // "progressover"; the process looks for it only once.
  ResetWinIniProbe();
  root_.Write("domino/WIN.INI",
              "[Vantrel]\nInstallDirectory=/private/dir\nprogressover=private\n"
              "[Pellorin]\nInstallDirectory=/private/old\n[Other]\nkey=private other\n");
  EXPECT_EQ(ReadWinIni("VANTREL", "InstallDirectory", ""), "/private/dir");
  EXPECT_EQ(ReadWinIni("pellorin", "InstallDirectory", ""), "/private/old");
  EXPECT_EQ(ReadWinIni("Vantrel", "progressover", ""), "system");
  EXPECT_EQ(ReadWinIni("Other", "key", ""), "system other");
  EXPECT_TRUE(std::filesystem::exists(root_.Path("tmp/LogWrite.LOG")));

  // Cut to the caller's size.
  EXPECT_EQ(ReadWinIni("Vantrel", "InstallDirectory", "", 5), "/pri");
}

TEST_F(ConfigTest, TerminalServerMirror) {
  root_.Write("windows/win.ini", "[Vantrel]\nInstallDirectory=/system/dir\n");
  const std::string mirror = std::string(kMakerKey) + "\\WIN.INI";
  SetString(mirror + "\\Vantrel", "InstallDirectory", "/mirror/dir");

  SetIdentity(5, 2, false);
  EXPECT_EQ(ReadWinIni("Vantrel", "InstallDirectory", ""), "/system/dir");

  SetIdentity(5, 2, true);
  EXPECT_EQ(ReadWinIni("Vantrel", "InstallDirectory", ""), "/mirror/dir");
  // A section or value missing from the mirror gives the default, trimmed.
  EXPECT_EQ(ReadWinIni("Vantrel", "Missing", " \tdefault \r\n"), "default");
  EXPECT_EQ(ReadWinIni("Korvent", "InstallDirectory", "\tnone "), "none");
  // A value of another type counts as missing.
  const DWORD number = 7;
  SetValue(mirror + "\\Vantrel", "Number", REG_DWORD, &number, sizeof(number));
  EXPECT_EQ(ReadWinIni("Vantrel", "Number", "dflt"), "dflt");

  // The private file still comes first.
  ResetWinIniProbe();
  root_.Write("domino/WIN.INI", "[Vantrel]\nInstallDirectory=/private/dir\n");
  EXPECT_EQ(ReadWinIni("Vantrel", "InstallDirectory", ""), "/private/dir");
}

TEST_F(ConfigTest, OverlayComesBeforeTheIniFile) {
  const std::string ini = root_.Write("vantrel/vantrel.ini",
                                      "[General]\nScanDir=IN\nxxx=from file\nReportDirectory=/r\n");
  const std::string overlay = OverlayKeyName(ini, "General");
  std::string flattened = root_.path();
  std::replace(flattened.begin(), flattened.end(), '/', '#');
  EXPECT_EQ(overlay, std::string(kMakerKey) + "\\" + flattened + "#vantrel#vantrel.ini\\General");
  EXPECT_EQ(OverlayKeyName("C:\\Program Files\\Vantrel\\vantrel.ini", "General"),
            "SOFTWARE\\Veltrane\\C:#Program Files#Vantrel#vantrel.ini\\General");

  // No overlay: the file, and a key list from the file.
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "", ini), "IN");
  EXPECT_EQ(ReadIniValue("General", "", "", ini), std::string("ScanDir\0xxx\0ReportDirectory\0", 28));

  SetString(overlay, "ScanDir", "OVERLAY");
  SetString(overlay, "Empty", "");
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "", ini), "OVERLAY");
  // The overlay lacks the value: the file answers, except for "xxx".
  EXPECT_EQ(ReadIniValue("General", "ReportDirectory", "", ini), "/r");
  EXPECT_EQ(ReadIniValue("General", "xxx", "dflt", ini), "dflt");
  EXPECT_EQ(ReadIniValue("General", "absent", "dflt", ini), "dflt");
  // The overlay's list: name=data entries, a bare name for empty data, cut before an entry
  // that would not fit.
  EXPECT_EQ(ReadIniValue("General", "", "", ini), std::string("ScanDir=OVERLAY\0Empty\0", 22));
  EXPECT_EQ(ReadIniValue("General", "", "", ini, 20), std::string("ScanDir=OVERLAY\0", 16));
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "", ini, 4), "OVE");
}

TEST_F(ConfigTest, BrokenIniFilesGiveDefaults) {
  const std::string missing = root_.Path("vantrel/missing.ini");
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "IN", missing), "IN");
  const std::string empty = root_.Write("vantrel/empty.ini", "");
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "IN", empty), "IN");
  const std::string junk = root_.Write(
      "vantrel/junk.ini", "garbage\n=novalue\n[General]\nnoequals\nLong=" + std::string(5000, 'L') +
                              std::string("\nScanDir=A\0B\n", 13));
  EXPECT_EQ(ReadIniValue("General", "ScanDir", "IN", junk), "A");
  EXPECT_EQ(ReadIniValue("General", "Long", "", junk), std::string(MAX_PATH - 1, 'L'));
}

TEST_F(ConfigTest, WriteIniValueRoundTrips) {
  const std::string ini = root_.Path("vantrel/vantrel.ini");
  ASSERT_TRUE(WriteIniValue("General", "VantrelID", "123-4567890123", ini));
  ASSERT_TRUE(WriteIniValue("General", "ScanDir", "IN", ini));
  EXPECT_EQ(ReadIniValue("General", "VantrelID", "", ini), "123-4567890123");
  EXPECT_EQ(ReadIniValue("general", "scandir", "", ini), "IN");
}

TEST_F(ConfigTest, ProductValues) {
  std::string value;
  EXPECT_EQ(ReadProductValue(kProductSubkey, "Timeout", value, "60"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, "60");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(WriteProductValue(kProductSubkey, "Timeout", "90"), ERROR_SUCCESS);
  EXPECT_EQ(ReadProductValue("Vantrel for Lotus Notes", "TIMEOUT", value, "60"), ERROR_SUCCESS);
  EXPECT_EQ(value, "90");
  // Empty arguments store nothing: the value stays.
  EXPECT_EQ(WriteProductValue(kProductSubkey, "Timeout", ""), ERROR_SUCCESS);
  EXPECT_EQ(WriteProductValue("", "Timeout", "1"), ERROR_SUCCESS);
  EXPECT_EQ(ReadProductValue(kProductSubkey, "Timeout", value, ""), ERROR_SUCCESS);
  EXPECT_EQ(value, "90");

  // Too long for the buffer, or not a string: an error code and the default.
  EXPECT_EQ(WriteProductValue(kProductSubkey, "MailBox", std::string(300, 'm')), ERROR_SUCCESS);
  EXPECT_EQ(ReadProductValue(kProductSubkey, "MailBox", value, "1"), ERROR_MORE_DATA);
  EXPECT_EQ(value, "1");
  const DWORD number = 5;
  SetValue(std::string(kMakerKey) + "\\" + kProductSubkey, "AdminCount", REG_DWORD, &number,
           sizeof(number));
  EXPECT_EQ(ReadProductValue(kProductSubkey, "AdminCount", value, "0"), ERROR_INVALID_DATA);
  EXPECT_EQ(value, "0");
  // A string stored without its NUL still reads whole.
  SetValue(std::string(kMakerKey) + "\\" + kProductSubkey, "Bare", REG_SZ, "abc", 3);
  EXPECT_EQ(ReadProductValue(kProductSubkey, "Bare", value, ""), ERROR_SUCCESS);
  EXPECT_EQ(value, "abc");

  // Another base key.
  EXPECT_EQ(WriteProductValue("Sub", "Name", "v", "SOFTWARE\\Other"), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other\\Sub", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(ConfigTest, MakerValueFitsEightBytes) {
  std::string value = "junk";
  EXPECT_FALSE(ReadMakerValue("AllowMSB", value));
  EXPECT_EQ(value, "");
  SetString(kMakerKey, "AllowMSB", "1");
  EXPECT_TRUE(ReadMakerValue("AllowMSB", value));
  EXPECT_EQ(value, "1");
  SetString(kMakerKey, "Long", "12345678");
  EXPECT_FALSE(ReadMakerValue("Long", value));
}

TEST_F(ConfigTest, FindInstallDirectoryInOrder) {
  std::string directory;
  // Nothing names a directory with VANTREL.INI.
  root_.Write("windows/win.ini", "[Vantrel]\nInstallDirectory=\"" + root_.Path("vantrel") +
                                     "/\"\n[Korvent]\nInstallDirectory=" + root_.Path("korvent") + "\n");
  EXPECT_FALSE(FindInstallDirectory(directory));

  // The program's directory.
  root_.Write("domino/VANTREL.ini", "");
  EXPECT_TRUE(FindInstallDirectory(directory));
  EXPECT_EQ(directory, root_.Path("domino"));

  // The companion product's section comes before it.
  root_.Write("korvent/vantrel.ini", "");
  EXPECT_TRUE(FindInstallDirectory(directory));
  EXPECT_EQ(directory, root_.Path("korvent"));

  // The product's own section first, quotes and trailing separator removed.
  root_.Write("vantrel/vantrel.ini", "");
  EXPECT_TRUE(FindInstallDirectory(directory));
  EXPECT_EQ(directory, root_.Path("vantrel"));

  // A directory that does not fit is refused rather than cut.
  EXPECT_TRUE(FindInstallDirectory(directory, root_.Path("vantrel").size() + 1));
  EXPECT_EQ(directory, root_.Path("vantrel"));
  EXPECT_TRUE(FindInstallDirectory(directory, root_.Path("vantrel").size()));
  EXPECT_EQ(directory, root_.Path("domino"));  // "korvent" is as long as "vantrel"
}

TEST_F(ConfigTest, LogSettingsFromTheStores) {
  const std::string product_key = std::string(kMakerKey) + "\\" + kProductSubkey;
  // Missing values are created with their defaults.
  EXPECT_EQ(ReadDebugLevel(), 0);
  EXPECT_EQ(ReadLogBufSize(), kDefaultLogBufSize);
  std::string value;
  EXPECT_EQ(ReadProductValue(kProductSubkey, kDebugValueName, value, ""), ERROR_SUCCESS);
  EXPECT_EQ(value, "1");
  EXPECT_EQ(ReadProductValue(kProductSubkey, kLogBufSizeValueName, value, ""), ERROR_SUCCESS);
  EXPECT_EQ(value, "10000");

  const struct {
    const char* text;
    int level;
    long budget;
  } cases[] = {{"10", 2, 10}, {"7", 1, 7}, {" 3 ", 0, 3}, {"-1", 0, kLogNeverRolls},
               {"0", 0, kDefaultLogBufSize}, {"junk", 0, kDefaultLogBufSize}};
  for (const auto& c : cases) {
    SetString(product_key, kDebugValueName, c.text);
    SetString(product_key, kLogBufSizeValueName, c.text);
    EXPECT_EQ(ReadDebugLevel(), c.level) << c.text;
    EXPECT_EQ(ReadLogBufSize(), c.budget) << c.text;
  }

  root_.Write("vantrel/vantrel.ini", "[General]\nReportDirectory= " + root_.Path("report") + " \n");
  const LogSettings settings = ReadLogSettings(root_.Path("vantrel"), "nrouter");
  EXPECT_EQ(settings.report_directory, root_.Path("report"));
  EXPECT_EQ(settings.program_name, "nrouter");
  EXPECT_EQ(ReadReportDirectory(""), "");
}

}  // namespace
}  // namespace foundation
