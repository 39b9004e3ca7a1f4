// Tests of vtprovision: the root it makes, read back through the same stand-ins the system
// uses, and its refusal to overwrite a root.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

namespace fs = std::filesystem;

class Provisioning : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = std::getenv("VT_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "VT_BUILD_DIR names the build directory";
    build_ = build;
    char pattern[] = "/tmp/vt-provision-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = std::string(pattern) + "/machine";
  }
  void TearDown() override { fs::remove_all(fs::path(root_).parent_path()); }

  int Provision(const std::string& options) {
    std::string command = build_ + "/bin/vtprovision " + options + " '" + root_ + "' >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Ini(const std::string& relative, const char* section, const char* key) {
    char value[512] = "";
    GetPrivateProfileString(section, key, "<absent>", value, sizeof value, (root_ + "/" + relative).c_str());
    return value;
  }

  std::string build_;
  std::string root_;
};

struct DbCloser {
  DBHANDLE db = NULLHANDLE;
  ~DbCloser() {
    if (db != NULLHANDLE) (void)NSFDbClose(db);
  }
};

STATUS Count(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH) ++*static_cast<int*>(context);
  return NOERROR;
}

int CountMatches(const char* db_path, const char* formula) {
  DbCloser db;
  if (NSFDbOpen(db_path, &db.db) != NOERROR) return -1;
  FORMULAHANDLE compiled = NULLHANDLE;
  WORD length = 0;
  STATUS error = NOERROR;
  if (NSFFormulaCompile(nullptr, 0, formula, 0, &compiled, &length, &error, nullptr, nullptr, nullptr, nullptr)) return -2;
  int count = 0;
  STATUS status = NSFSearch(db.db, compiled, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, Count, &count, nullptr);
  (void)OSMemFree(compiled);
  return status == NOERROR ? count : -3;
}

std::string DesignClass(const char* db_path) {
  DbCloser db;
  if (NSFDbOpen(db_path, &db.db) != NOERROR) return "<cannot open>";
  char info[NSF_INFO_SIZE] = "";
  if (NSFDbInfoGet(db.db, info) != NOERROR) return "<no info>";
  char design_class[NSF_INFO_SIZE] = "";
  NSFDbInfoParse(info, INFOPARSE_DESIGN_CLASS, design_class, sizeof design_class);
  return design_class;
}

TEST_F(Provisioning, MakesAWholeMachine) {
  ASSERT_EQ(Provision(""), 0);
  for (const char* directory : {"windows/TEMP", "domino/data/mail", "vantrel/IN", "vantrel/Out", "tmp"}) {
    EXPECT_TRUE(fs::is_directory(fs::path(root_) / directory)) << directory;
  }
  EXPECT_EQ(Ini("windows/win.ini", "vantrel", "InstallDirectory"), root_ + "/vantrel");
  // What holds the installation's identifier and settings, and kept infected mails, is the
  // account's alone.
  for (const auto& [file, mode] : {std::pair{"vantrel/vantrel.ini", 0600}, {"registry.db", 0600},
                                   {"vantrel/Quarantine", 0700}}) {
    EXPECT_EQ(static_cast<int>(fs::status(fs::path(root_) / file).permissions()), mode) << file;
  }
  EXPECT_EQ(Ini("vantrel/vantrel.ini", "General", "AdminEmailId"), "admin@example.com");
  EXPECT_EQ(Ini("vantrel/vantrel.ini", "General", "PrimaryDomain"), "example.com");
  EXPECT_EQ(Ini("vantrel/vantrel.ini", "General", "ScanDir"), "IN");
  // The identifier every task reads: tick count, hyphen, ten digits.
  const std::string id = Ini("vantrel/vantrel.ini", "General", "VantrelID");
  const std::size_t hyphen = id.find('-');
  ASSERT_NE(hyphen, std::string::npos) << id;
  EXPECT_EQ(id.size() - hyphen - 1, 10u) << id;
  EXPECT_EQ(id.find_first_not_of("0123456789-"), std::string::npos) << id;
  EXPECT_NE(Ini("vantrel/verinfo.ini", "General", "Version"), "<absent>");
  EXPECT_EQ(Ini("domino/notes.ini", "Notes", "SMTPPort"), "2525");
  EXPECT_EQ(Ini("domino/notes.ini", "Notes", "Directory"), root_ + "/domino/data");

  vtplatform::SetSystemRoot(root_);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Veltrane\\Vantrel for Lotus Notes", 0, KEY_READ, &key), ERROR_SUCCESS);
  char value[64] = "";
  DWORD size = sizeof value;
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueEx(key, "VTADMINDB", nullptr, &type, reinterpret_cast<BYTE*>(value), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(value, "vtquaran.nsf");
  RegCloseKey(key);

  setenv("VT_SYSROOT", root_.c_str(), 1);
  ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
  EXPECT_EQ(CountMatches("names.nsf", "SELECT form = \"Server\""), 1);
  EXPECT_EQ(CountMatches("names.nsf", "SELECT form = \"Person\""), 4);
  for (const char* user : {"admin", "alice", "bob", "carol"}) {
    std::string formula = std::string("SELECT form = \"Person\" & InternetAddress = \"") + user + "@example.com\"";
    EXPECT_EQ(CountMatches("names.nsf", formula.c_str()), 1) << user;
    std::string mail_file = std::string("mail/") + user + ".nsf";
    std::string design = DesignClass(mail_file.c_str());
    EXPECT_TRUE(design.size() >= 4 && design.substr(design.size() - 4) == "Mail") << mail_file << ": " << design;
  }
  EXPECT_EQ(CountMatches("vtsched.nsf", "SELECT form = \"Scheduledfrm\" & Option = \"Disable\""), 1);
  EXPECT_EQ(CountMatches("vtsched.nsf", "SELECT form = \"NewUser\""), 0);
  for (const char* db : {"mail.box", "mail2.box", "vtquaran.nsf"}) {
    EXPECT_EQ(CountMatches(db, "SELECT @All"), 0) << db;
  }
  NotesTerm();
}

TEST_F(Provisioning, RefusesAnExistingRootUnlessForcedAndInstallsPrograms) {
  ASSERT_EQ(Provision(""), 0);
  EXPECT_EQ(Provision(""), 1);
  std::ofstream(root_ + "/vantrel/keep.txt") << "kept";
  EXPECT_EQ(Provision("--force"), 0);
  EXPECT_TRUE(fs::exists(root_ + "/vantrel/keep.txt"));

  const std::string id = Ini("vantrel/vantrel.ini", "General", "VantrelID");
  EXPECT_NE(id, "<absent>");

  // --install alone on a provisioned root installs the product and nothing else: the
  // programs and libraries, not the build tree's test libraries, benchmarks or this tool;
  // the engine's signatures and policy; the identifier stays.
  std::ofstream(root_ + "/vantrel/engine.ini") << "[Infected]\nAction=delete\n";
  EXPECT_EQ(Provision("--install '" + build_ + "'"), 0);
  for (const char* file : {"nserver", "nrouter", "nsmtp", "vantrel", "nsf", "libvt_notes.so"})
    EXPECT_TRUE(fs::exists(root_ + "/domino/" + file)) << file;
  for (const char* file : {"vtupdate", "libvtupdate.so", "libvtnotes.so", "librights.so"}) {
    if (fs::exists(build_ + "/bin/" + file) || fs::exists(build_ + "/lib/" + file)) {
      EXPECT_TRUE(fs::exists(root_ + "/domino/" + file)) << file;
    }
  }
  for (const auto& entry : fs::directory_iterator(root_ + "/domino")) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find("test"), std::string::npos) << name;
    EXPECT_EQ(name.find("bench"), std::string::npos) << name;
    EXPECT_NE(name, "vtprovision");
  }
  EXPECT_TRUE(fs::exists(root_ + "/vantrel/signatures/vantrel-test.ndb"));
  EXPECT_EQ(Ini("vantrel/engine.ini", "Infected", "Action"), "delete") << "the site's policy is kept";
  EXPECT_EQ(Ini("vantrel/vantrel.ini", "General", "VantrelID"), id);

  // A new root with the programs installed loads the extension libraries that came along.
  if (fs::exists(build_ + "/lib/libvtnotes.so") && fs::exists(build_ + "/lib/librights.so")) {
    EXPECT_EQ(Provision("--force --install '" + build_ + "'"), 0);
    std::ifstream notes_ini(root_ + "/domino/notes.ini");
    std::string text((std::istreambuf_iterator<char>(notes_ini)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("NSF_HOOKS=vtnotes,rights"), std::string::npos) << text;
  }

  EXPECT_EQ(Provision("--bogus"), 2);
  fs::remove_all(root_);
  std::ofstream(root_) << "a file, not a directory";
  EXPECT_EQ(Provision(""), 1);
}

}  // namespace
