// driver_test.cpp - which databases a run scans: the list, the folder walk, the exclusions.
#include "vtsweep/driver.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include "vtsweep/settings.h"
#include "vtsweep/test_support.h"
#include "vtsweep/watchdog_open.h"

namespace vtsweep {
namespace {

using testing_support::SweepTest;

TEST(ListRules, EntriesNamingDatabasesAreKeptInOrder) {
  EXPECT_EQ(DatabaseEntries("a.nsf;notes.txt;\tb.NTF\r\n; \"c d.nsf\" ;x,y.nsf;nsf;"),
            (std::vector<std::string>{"a.nsf", "b.NTF", "c d.nsf", "xy.nsf"}));
  EXPECT_TRUE(IsDatabaseName("mail/ann.NSF"));
  EXPECT_FALSE(IsDatabaseName("mail.nsf/readme"));
  EXPECT_TRUE(IsYes("yes"));
  EXPECT_TRUE(IsYes("Y"));
  EXPECT_FALSE(IsYes("no"));
  EXPECT_FALSE(IsYes(""));
}

TEST(ListRules, MatchingIsByContainedTextWithoutCaseOrSeparatorKind) {
  EXPECT_TRUE(MatchesList("/r/domino/data/mail/Ann.nsf", "x.nsf;MAIL\\ANN.NSF"));
  EXPECT_TRUE(MatchesList("/r/domino/data/mail/ann.nsf", "ann.nsf"));
  EXPECT_FALSE(MatchesList("/r/domino/data/mail/ann.nsf", "bob.nsf;ann.txt"));
  EXPECT_FALSE(MatchesList("/r/domino/data/mail/ann.nsf", ""));
}

TEST(ListRules, NamesResolveOnlyBelowTheBase) {
  std::string path;
  EXPECT_TRUE(ResolveBelow("/r/data", "mail\\ann.nsf", &path));
  EXPECT_EQ(path, "/r/data/mail/ann.nsf");
  EXPECT_TRUE(ResolveBelow("/r/data", "/R/DATA/mail/./x/../ann.nsf", &path));
  EXPECT_EQ(path, "/r/data/mail/ann.nsf");
  path = "unchanged";
  EXPECT_FALSE(ResolveBelow("/r/data", "../names.nsf", &path));
  EXPECT_FALSE(ResolveBelow("/r/data", "mail/../../x.nsf", &path));
  EXPECT_FALSE(ResolveBelow("/r/data", "/etc/x.nsf", &path));
  EXPECT_FALSE(ResolveBelow("/r/data", "/r/database.nsf", &path));
  EXPECT_FALSE(ResolveBelow("/r/data", "c:\\lotus\\x.nsf", &path));
  EXPECT_FALSE(ResolveBelow("/r/data", "", &path));
  EXPECT_EQ(path, "unchanged");
}

class DriverTest : public SweepTest {
 protected:
  void Databases(std::initializer_list<const char*> names) {
    for (const char* name : names) EXPECT_EQ(NSFDbClose(MakeDatabase(name)), NOERROR);
  }
  [[nodiscard]] bool Scanned(const std::string& name) const {
    return Log().find(name + " Database...") != std::string::npos;
  }
};

TEST_F(DriverTest, TheListScansDatabasesAndTemplatesAndSkipsTheRest) {
  Databases({"mail/ann.nsf", "mail/bob.nsf", "mail/tmpl.ntf"});
  run_.settings.database_list = "mail/ann.nsf;readme.txt;mail/tmpl.ntf;../up.nsf;mail/none.nsf";
  ScanDatabaseList(run_);
  const std::string log = Log();
  EXPECT_TRUE(Scanned("mail/ann.nsf"));
  EXPECT_TRUE(Scanned("mail/tmpl.ntf"));
  EXPECT_FALSE(Scanned("mail/bob.nsf"));
  EXPECT_NE(log.find("No Mails in mail/ann.nsf"), std::string::npos) << log;
  EXPECT_NE(log.find("Database readme.txt is not a Notes database. Skipped."), std::string::npos);
  EXPECT_NE(log.find("Database ../up.nsf is outside the data directory"), std::string::npos);
  // A database that is not there is logged and the list goes on to its end.
  EXPECT_NE(log.find("unable to open database in NSFOpenx"), std::string::npos);
}

TEST_F(DriverTest, TheListStopsAfterTheFourthTimeOut) {
  Databases({"mail/ann.nsf"});
  run_.settings.database_list = "mail/ann.nsf";
  run_.timeouts = kTimeoutLimit;
  ScanDatabaseList(run_);
  EXPECT_FALSE(Scanned("mail/ann.nsf"));
  EXPECT_NE(Log().find("TimeOut Happens More than 3 times.. So exiting Scanning"),
            std::string::npos);
}

TEST_F(DriverTest, FolderWalkExclusionsTemplatesAndSubfolders) {
  Databases({"mail/ann.nsf", "mail/Bob.nsf", "mail/tmpl.ntf", "mail/old/carol.nsf", "names.nsf"});
  Settings& settings = run_.settings;
  settings.always_excluded = "names.nsf";
  settings.exclude = false;
  settings.subfolders = false;
  VisitedFolders visited;
  WalkFolder(run_, Path("domino/data"), visited);
  // Exclusion off: the always-excluded database is scanned too; no descent, no templates.
  EXPECT_TRUE(Scanned(Path("domino/data/names.nsf")));
  EXPECT_FALSE(Scanned(Path("domino/data/mail/ann.nsf")));

  std::filesystem::remove(Path("vantrel/Reports/test.log"));
  settings.exclude = true;
  settings.subfolders = true;
  settings.exclude_list = "MAIL/BOB.NSF";
  settings.exclude_list_read = true;
  visited.clear();
  WalkFolder(run_, Path("domino/data"), visited);
  const std::string log = Log();
  EXPECT_TRUE(Scanned(Path("domino/data/mail/ann.nsf")));
  EXPECT_TRUE(Scanned(Path("domino/data/mail/old/carol.nsf")));
  EXPECT_FALSE(Scanned(Path("domino/data/mail/Bob.nsf")));
  EXPECT_FALSE(Scanned(Path("domino/data/names.nsf")));
  EXPECT_FALSE(Scanned(Path("domino/data/mail/tmpl.ntf")));
  EXPECT_NE(log.find("Databse " + Path("domino/data/mail/Bob.nsf") +
                     " is Excluded By Exclude Database Rule"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("names.nsf is Excluded"), std::string::npos);  // silently

  // Exclusion on with an empty list read: only the always-excluded database is left out.
  std::filesystem::remove(Path("vantrel/Reports/test.log"));
  settings.exclude_list.clear();
  visited.clear();
  WalkFolder(run_, Path("domino/data"), visited);
  EXPECT_TRUE(Scanned(Path("domino/data/mail/Bob.nsf")));
  EXPECT_FALSE(Scanned(Path("domino/data/names.nsf")));

  // Exclusion on without an exclusion list read scans nothing, and says so once.
  std::filesystem::remove(Path("vantrel/Reports/test.log"));
  settings.exclude_list_read = false;
  settings.exclude_list = "MAIL/BOB.NSF";
  visited.clear();
  WalkFolder(run_, "mail", visited);
  const std::string nothing = Log();
  EXPECT_EQ(nothing.find(" Database..."), std::string::npos);
  const std::size_t said = nothing.find("no exclusion list (Exclude_DB) was read");
  ASSERT_NE(said, std::string::npos) << nothing;
  EXPECT_EQ(nothing.find("no exclusion list (Exclude_DB) was read", said + 1), std::string::npos);
}

TEST_F(DriverTest, ALinkBackToAnOuterFolderIsWalkedOnce) {
  Databases({"mail/ann.nsf"});
  ASSERT_EQ(::symlink(Path("domino/data/mail").c_str(), Path("domino/data/mail/again").c_str()), 0);
  run_.settings.subfolders = true;
  VisitedFolders visited;
  WalkFolder(run_, "mail", visited);
  const std::string log = Log();
  std::size_t first = log.find("ann.nsf Database...");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("ann.nsf Database...", first + 1), std::string::npos);
  EXPECT_NE(log.find("leads back to a folder scanned already"), std::string::npos);
  std::filesystem::remove(Path("vantrel/Reports/test.log"));
  WalkFolder(run_, "/etc", visited);
  EXPECT_NE(Log().find("Folder /etc is outside the data directory"), std::string::npos);
}

// Links are followed before the data-directory rule is applied: a link to a database or
// a folder elsewhere is refused, in the list and in the walk; a link to a database inside
// is scanned as the database it leads to.
TEST_F(DriverTest, LinksOutOfTheDataDirectoryAreRefused) {
  Databases({"mail/ann.nsf", "moved.nsf"});
  std::filesystem::create_directories(Path("elsewhere"));
  std::filesystem::rename(Path("domino/data/moved.nsf"), Path("elsewhere/out.nsf"));
  ASSERT_EQ(::symlink(Path("elsewhere/out.nsf").c_str(), Path("domino/data/mail/link.nsf").c_str()),
            0);
  ASSERT_EQ(::symlink(Path("elsewhere").c_str(), Path("domino/data/mail/away").c_str()), 0);
  ASSERT_EQ(::symlink(Path("domino/data/mail/ann.nsf").c_str(),
                      Path("domino/data/mail/alias.nsf").c_str()),
            0);
  run_.settings.list_selected = true;
  run_.settings.database_list = "mail/link.nsf;mail/away/out.nsf;mail/alias.nsf";
  ScanDatabaseList(run_);
  std::string log = Log();
  EXPECT_NE(log.find("Database mail/link.nsf is outside the data directory"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Database mail/away/out.nsf is outside the data directory"),
            std::string::npos);
  EXPECT_FALSE(Scanned("mail/link.nsf"));
  EXPECT_TRUE(Scanned("mail/alias.nsf"));
  EXPECT_NE(log.find("mail/alias.nsf Was Scanned"), std::string::npos) << log;

  std::filesystem::remove(Path("vantrel/Reports/test.log"));
  run_.settings.subfolders = true;
  VisitedFolders visited;
  WalkFolder(run_, "mail", visited);
  log = Log();
  EXPECT_NE(log.find("/mail/link.nsf is outside the data directory"), std::string::npos) << log;
  EXPECT_NE(log.find("/mail/away is outside the data directory"), std::string::npos) << log;
  EXPECT_EQ(log.find("out.nsf Database..."), std::string::npos) << log;
  EXPECT_EQ(log.find("link.nsf Database..."), std::string::npos) << log;
}

TEST_F(DriverTest, AnOpenThatHangsIsAbandonedAfterTheLimit) {
  Databases({"stuck.nsf"});
  // Another process holds the database's lock bytes, as a stuck writer would: the open
  // waits for it and the watchdog gives up first.
  const std::string file = Path("domino/data/stuck.nsf");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    int fd = ::open(file.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0x40000000;
    lock.l_len = 512;
    char ok = (fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0) ? '1' : '0';
    (void)::write(ready[1], &ok, 1);
    ::pause();
    ::_exit(0);
  }
  char ok = '0';
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(ok, '1');
  const DWORD started = GetTickCount();
  DbHandle db = OpenDatabaseWithWatchdog("stuck.nsf", 300);
  const DWORD waited = GetTickCount() - started;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_FALSE(db.valid());
  EXPECT_LT(waited, 3000u);
  // The abandoned open goes on and closes what it opened; a later open works.
  DbHandle later = OpenDatabaseWithWatchdog("stuck.nsf");
  EXPECT_TRUE(later.valid());
  DbHandle missing = OpenDatabaseWithWatchdog("missing.nsf");
  EXPECT_FALSE(missing.valid());
}

}  // namespace
}  // namespace vtsweep
