// Profile files: lookup rules, listings, buffer cuts, writes and deletions, bad input.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/win32/test_support.h"

namespace win32test {
namespace {

class ProfileTest : public RootTest {
 protected:
  std::string Get(const char* section, const char* key, const char* fallback = "DEF",
                  DWORD size = 256) {
    std::string buffer(size, '#');
    DWORD length =
        GetPrivateProfileString(section, key, fallback, buffer.data(), size, ini_.c_str());
    last_length_ = length;
    return std::string(buffer.data(), length);
  }
  // A listing as text with '|' for each NUL, up to and including the double NUL.
  std::string List(const char* section, DWORD size = 256) {
    std::string buffer(size, '#');
    DWORD length =
        GetPrivateProfileString(section, nullptr, "ignored", buffer.data(), size, ini_.c_str());
    last_length_ = length;
    std::string shown;
    for (DWORD i = 0; i < size; ++i) {
      shown += buffer[i] == '\0' ? '|' : buffer[i];
      if (i > 0 && buffer[i] == '\0' && buffer[i - 1] == '\0') break;
    }
    return shown;
  }

  void SetUp() override {
    RootTest::SetUp();
    ini_ = Path("vantrel.ini");
  }

  std::string ini_;
  DWORD last_length_ = 0;
};

TEST_F(ProfileTest, LookupIgnoresCaseTrimsAndStripsQuotes) {
  WriteText("vantrel.ini",
            "; settings\r\n"
            "[General]\r\n"
            "  ScanDir =  In  \r\n"
            "ReportDirectory=\"/var/log/vt \"\r\n"
            "Single='x'\r\n"
            "Mixed=\"x'\r\n"
            "Empty=\r\n"
            "Quote=\"\r\n"
            "junk line without equals\r\n"
            "scandir=second\r\n"
            "[general]\r\n"
            "VantrelID=ignored, the first section wins\r\n");
  EXPECT_EQ(Get("GENERAL", "scandir"), "In");
  EXPECT_EQ(Get("General", "ReportDirectory"), "/var/log/vt ");
  EXPECT_EQ(Get("General", "Single"), "x");
  EXPECT_EQ(Get("General", "Mixed"), "\"x'");
  EXPECT_EQ(Get("General", "Quote"), "\"");
  EXPECT_EQ(Get("General", "Empty"), "");
  EXPECT_EQ(Get("General", "VantrelID"), "DEF");
  EXPECT_EQ(Get("General", "junk line without equals"), "DEF");
  EXPECT_EQ(Get("Missing", "ScanDir", "fallback  "), "fallback");  // default trimmed on the right
  EXPECT_EQ(Get("General", "Missing", nullptr), "");
  EXPECT_EQ(GetPrivateProfileInt("general", "ScanDir", 7, ini_.c_str()), 0u);
  WriteText("vantrel.ini", "[General]\nTimeout= 30 seconds\nNeg=-2\n");
  EXPECT_EQ(GetPrivateProfileInt("General", "Timeout", 7, ini_.c_str()), 30u);
  EXPECT_EQ(static_cast<int>(GetPrivateProfileInt("General", "Neg", 7, ini_.c_str())), -2);
  EXPECT_EQ(GetPrivateProfileInt("General", "None", 7, ini_.c_str()), 7u);
}

TEST_F(ProfileTest, ListingsOfSectionsAndKeys) {
  WriteText("vantrel.ini", "[General]\nA=1\nbb=2\n[Other]\nC=3\n[Empty]\n");
  EXPECT_EQ(List(nullptr), "General|Other|Empty||");
  EXPECT_EQ(last_length_, 20u);
  EXPECT_EQ(List("general"), "A|bb||");
  EXPECT_EQ(last_length_, 5u);
  EXPECT_EQ(List("Empty"), "||");
  EXPECT_EQ(last_length_, 0u);
  EXPECT_EQ(List("Missing"), "||");
  // Cut listings end in two NULs and report size - 2.
  EXPECT_EQ(List("General", 5), "A|b||");
  EXPECT_EQ(last_length_, 3u);
  EXPECT_EQ(List(nullptr, 4), "Ge||");
  EXPECT_EQ(last_length_, 2u);

  std::string section(64, '#');
  DWORD length = GetPrivateProfileSection("General", section.data(), 64, ini_.c_str());
  EXPECT_EQ(std::string(section.data(), length), std::string("A=1\0bb=2\0", 9));
}

TEST_F(ProfileTest, ShortBuffersCutValuesAndNeverOverrun) {
  WriteText("vantrel.ini", "[General]\nPrimaryDomain=example.com\n");
  EXPECT_EQ(Get("General", "PrimaryDomain", "", 8), "example");
  EXPECT_EQ(last_length_, 7u);
  EXPECT_EQ(Get("General", "PrimaryDomain", "", 12), "example.com");
  EXPECT_EQ(Get("General", "Missing", "a long default", 4), "a l");

  char guarded[8];
  std::memset(guarded, 'Z', sizeof guarded);
  GetPrivateProfileString("General", "PrimaryDomain", "", guarded, 4, ini_.c_str());
  EXPECT_STREQ(guarded, "exa");
  EXPECT_EQ(guarded[4], 'Z');
  EXPECT_EQ(GetPrivateProfileString("General", "PrimaryDomain", "", guarded, 0, ini_.c_str()), 0u);
  EXPECT_EQ(guarded[0], 'e');
}

TEST_F(ProfileTest, BadInputYieldsDefaults) {
  EXPECT_EQ(Get("General", "ScanDir"), "DEF");  // no file at all
  EXPECT_EQ(List(nullptr), "||");
  WriteText("vantrel.ini", "");
  EXPECT_EQ(Get("General", "ScanDir"), "DEF");
  std::string long_value(100000, 'v');
  std::string text = "[General\n";  // unclosed section header
  text += "Long=" + long_value + "\n";
  text += std::string("Nul=ab\0cd\n", 10);
  text += std::string("\0\0\0garbage\n", 11);
  text += "=no key\n";
  text += "\xEF\xBB\xBF[x]\n";
  WriteText("vantrel.ini", text);
  EXPECT_EQ(Get("General", "Long", "", 16), long_value.substr(0, 15));
  EXPECT_EQ(Get("General", "Long", "", 200000).size(), long_value.size());
  EXPECT_EQ(Get("General", "Nul"), "ab");
  WriteText("notdir/x", "");
  EXPECT_EQ(GetPrivateProfileString("General", "k", "d", nullptr, 10, ini_.c_str()), 0u);
  std::filesystem::create_directories(Path("adir"));
  std::string buffer(16, '\0');
  EXPECT_EQ(GetPrivateProfileString("a", "b", "dd", buffer.data(), 16, Path("adir").c_str()),
            2u);
}

TEST_F(ProfileTest, WritesAddReplaceAndDelete) {
  WriteText("vantrel.ini", "; kept comment\n[General]\nScanDir=In\n\n[Other]\nX=1\n");
  EXPECT_TRUE(WritePrivateProfileString("general", "SCANDIR", "Spool", ini_.c_str()));
  EXPECT_TRUE(WritePrivateProfileString("General", "VantrelID", "123-456", ini_.c_str()));
  EXPECT_TRUE(WritePrivateProfileString("New", "Key", "  padded  ", ini_.c_str()));
  EXPECT_EQ(Get("General", "ScanDir"), "Spool");
  EXPECT_EQ(Get("General", "VantrelID"), "123-456");
  EXPECT_EQ(Get("New", "Key"), "padded");
  EXPECT_EQ(Get("Other", "X"), "1");
  // The new key sits in its section, the file keeps its comment and line ends.
  EXPECT_EQ(ReadText("vantrel.ini"),
            "; kept comment\n[General]\nSCANDIR=Spool\nVantrelID=123-456\n\n[Other]\nX=1\n"
            "\n[New]\nKey=  padded  \n");

  EXPECT_TRUE(WritePrivateProfileString("General", "ScanDir", nullptr, ini_.c_str()));
  EXPECT_EQ(Get("General", "ScanDir"), "DEF");
  EXPECT_TRUE(WritePrivateProfileString("Other", nullptr, nullptr, ini_.c_str()));
  EXPECT_EQ(List(nullptr), "General|New||");
  EXPECT_TRUE(WritePrivateProfileString("Gone", "Key", nullptr, ini_.c_str()));  // nothing to do
  EXPECT_TRUE(WritePrivateProfileString(nullptr, nullptr, nullptr, ini_.c_str()));  // flush

  // Nothing that would change the file's meaning is written.
  EXPECT_FALSE(WritePrivateProfileString("General", "Key", "two\nlines", ini_.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("General", "a=b", "v", ini_.c_str()));
  EXPECT_FALSE(WritePrivateProfileString("Gen]eral", "k", "v", ini_.c_str()));
  EXPECT_FALSE(WritePrivateProfileString(nullptr, "k", "v", ini_.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(List(nullptr), "General|New||");
}

TEST_F(ProfileTest, ARewriteKeepsTheFilesMode) {
  WriteText("vantrel.ini", "[General]\nVantrelID=123-456\n");
  ASSERT_EQ(::chmod(ini_.c_str(), 0600), 0);
  EXPECT_TRUE(WritePrivateProfileString("General", "AdminEmailId", "a@example.com", ini_.c_str()));
  struct stat info {};
  ASSERT_EQ(::stat(ini_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(ProfileTest, NewFilesAndWinIni) {
  std::string fresh = Path("verinfo.ini");
  EXPECT_TRUE(WritePrivateProfileString("General", "Version", "3.1", fresh.c_str()));
  EXPECT_EQ(ReadText("verinfo.ini"), "[General]\r\nVersion=3.1\r\n");
  EXPECT_FALSE(WritePrivateProfileString("General", "Version", "3.1", Path("no/dir.ini").c_str()));

  EXPECT_TRUE(WriteProfileString("Vantrel", "InstallDirectory", "/opt/vantrel"));
  char buffer[64];
  EXPECT_EQ(GetProfileString("VANTREL", "installdirectory", "", buffer, sizeof buffer), 12u);
  EXPECT_STREQ(buffer, "/opt/vantrel");
  EXPECT_EQ(GetPrivateProfileString("Vantrel", "InstallDirectory", "", buffer, sizeof buffer,
                                    Path("windows/win.ini").c_str()),
            12u);
  // A bare file name is a file of the Windows directory.
  EXPECT_EQ(GetPrivateProfileString("Vantrel", "InstallDirectory", "", buffer, sizeof buffer,
                                    "WIN.INI"),
            0u);  // names keep their case on disk
  EXPECT_EQ(GetPrivateProfileString("Vantrel", "InstallDirectory", "", buffer, sizeof buffer,
                                    "win.ini"),
            12u);
}

}  // namespace
}  // namespace win32test
