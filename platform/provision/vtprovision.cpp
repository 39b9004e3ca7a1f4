// NAME
//   vtprovision - make a new machine root for the Vantrel system
//
// SYNOPSIS
//   vtprovision [--force] [--install BUILD_DIR] ROOT
//
// DESCRIPTION
//   vtprovision lays out, in the directory ROOT, a whole machine as the system expects to
//   find it: the Windows directory with WIN.INI, the registry, the Domino program and data
//   directories with notes.ini, the Domino directory names.nsf (a server document for the
//   domain example.com and person documents for admin, alice, bob and carol, whose Internet
//   addresses are NAME@example.com), the users' mail databases, the router mail boxes
//   mail.box and mail2.box, the schedule and rules database vtsched.nsf (with a schedule
//   document, Form "Scheduledfrm", switched off), the quarantine database vtquaran.nsf,
//   and the product's install directory with vantrel.ini, verinfo.ini and the spool
//   directories IN and Out. admin@example.com is the product's administrator. The root
//   gets its installation identifier (VantrelID) at once, so that every task that loads
//   the extensions finds the same one; an identifier already there is kept.
//
//   An existing ROOT that is not empty is refused unless --force is given; with --force the
//   settings named here are written again and the databases made anew (other files stay).
//
//   --install BUILD_DIR installs the product from a build tree: its programs (from
//   BUILD_DIR/bin: the server nserver with its tasks nrouter and nsmtp, the engine
//   vantrel, vtupdate, vtsweep, vtrunner, vtsetup, and the tools nsf, winreg and
//   vtcapture) and its libraries (from BUILD_DIR/lib: libvt_notes.so, libvtnotes.so,
//   librights.so, libvtupdate.so) into ROOT/domino, and the engine's signatures and
//   default policy (from BUILD_DIR/share/engine) into ROOT/vantrel. Test libraries and
//   benchmark programs of the build tree are not installed. A new ROOT then names the
//   extension libraries it installed (vtnotes, rights) in NSF_HOOKS, so that nserver's
//   tasks load them. Given alone for a ROOT that was provisioned before, it installs the
//   product (an engine.ini already there is kept) and leaves everything else as it is.
//
// FILES
//   ROOT/windows/win.ini            [Vantrel] InstallDirectory=ROOT/vantrel
//   ROOT/windows/TEMP/, ROOT/tmp/   temporary directories
//   ROOT/registry.db                HKEY_LOCAL_MACHINE\SOFTWARE\Veltrane\Vantrel For Lotus Notes
//   ROOT/domino/notes.ini           [Notes] Directory, NotesProgram, ServerName, MAILSERVER,
//                                   SMTPPort=2525, RouterThreads=3, NSF_HOOKS=, ServerTasks=
//   ROOT/domino/data/               names.nsf, mail.box, mail2.box, vtsched.nsf,
//                                   vtquaran.nsf, mail/NAME.nsf
//   ROOT/vantrel/                   vantrel.ini, verinfo.ini, IN/, Out/, Reports/,
//                                   Quarantine/, signatures/ and engine.ini (with --install)
//   vantrel.ini and registry.db (which hold the installation's identifier and settings) are
//   made readable by the root's account only (mode 0600), and so is Quarantine/ (0700),
//   where kept originals of infected mails wait; also when only --install is given.
//   The root and its directories get mode 0700, and every file it makes is its account's
//   own (mode 0600, programs 0700): other local users are kept out.
//
// CONFIGURATION
//   vantrel.ini [General]: ScanDir=IN, ReportDirectory=ROOT/vantrel/Reports,
//   AdminEmailId=admin@example.com, WarningMailsFromUser=admin, PrimaryDomain=example.com,
//   ContentControlEnabled=0, VantrelID=<tick count>-<ten random digits>. verinfo.ini [General]: Version. The registry values are those
//   the console's setup writes, with the defaults the extensions would write themselves.
//
// DIAGNOSTICS
//   Errors go to stderr as "vtprovision: " and the reason. Exit status 0 on success, 1 when
//   the root could not be made, 2 on a usage error.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/utilities.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kServerName = "CN=Server/O=Example";
constexpr const char* kNotesDomain = "Example";
constexpr const char* kInternetDomain = "example.com";
constexpr const char* kVersion = "1.0.0.0";
constexpr const char* kProductKey = "SOFTWARE\\Veltrane\\Vantrel For Lotus Notes";

struct Person {
  const char* short_name;
  const char* first_name;
  const char* last_name;
};

constexpr Person kPeople[] = {
    {"admin", "Site", "Admin"},
    {"alice", "Alice", "Archer"},
    {"bob", "Bob", "Baker"},
    {"carol", "Carol", "Carter"},
};

const char kUsage[] = "usage: vtprovision [--force] [--install BUILD_DIR] ROOT\n";

bool Fail(std::string* error_r, std::string what) {
  *error_r = std::move(what);
  return false;
}

// The machine's directories, the root among them, are the server account's own (mode 0700)
// also where they were there before: other local users are kept out of mail, databases and
// settings.
bool MakeDirectories(const std::string& root, std::string* error_r) {
  for (const char* relative : {"", "windows", "windows/TEMP", "domino", "domino/data",
                               "domino/data/mail", "vantrel", "vantrel/IN", "vantrel/Out",
                               "vantrel/Reports", "tmp"}) {
    const fs::path directory = fs::path(root) / relative;
    std::error_code error;
    fs::create_directories(directory, error);
    if (!error) fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace, error);
    if (error) return Fail(error_r, directory.string() + ": " + error.message());
  }
  return true;
}

// Writes each key of one INI section; false names the first key that could not be written.
bool WriteSection(const std::string& path, const char* section,
                  const std::vector<std::pair<std::string, std::string>>& values, std::string* error_r) {
  for (const auto& [key, value] : values) {
    if (!WritePrivateProfileString(section, key.c_str(), value.c_str(), path.c_str())) {
      return Fail(error_r, path + ": cannot write [" + section + "] " + key + " (error " +
                               std::to_string(GetLastError()) + ")");
    }
  }
  return true;
}

bool WriteSettings(const std::string& root, std::string* error_r) {
  const std::string install = root + "/vantrel";
  const std::string domino = root + "/domino";
  if (!WriteSection(root + "/windows/win.ini", "Vantrel", {{"InstallDirectory", install}}, error_r)) return false;
  if (!WriteSection(install + "/vantrel.ini", "General",
                    {{"ScanDir", "IN"},
                     {"ReportDirectory", install + "/Reports"},
                     {"AdminEmailId", std::string("admin@") + kInternetDomain},
                     {"WarningMailsFromUser", "admin"},
                     {"PrimaryDomain", kInternetDomain},
                     {"ContentControlEnabled", "0"}},
                    error_r))
    return false;
  if (!WriteSection(install + "/verinfo.ini", "General", {{"Version", kVersion}}, error_r)) return false;
  // The hook libraries and server tasks are named when the programs that fill them are
  // installed; empty values keep the keys visible to whoever edits the file.
  return WriteSection(domino + "/notes.ini", "Notes",
                      {{"Directory", domino + "/data"},
                       {"NotesProgram", domino},
                       {"ServerName", kServerName},
                       {"Domain", kNotesDomain},
                       {"MAILSERVER", kServerName},
                       {"SMTPPort", "2525"},
                       {"RouterThreads", "3"},
                       {"NSF_HOOKS", ""},
                       {"ServerTasks", ""}},
                      error_r);
}

class RegistryKey {
 public:
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  PHKEY out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

bool WriteRegistry(const std::string& root, std::string* error_r) {
  RegistryKey key;
  LONG result = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, key.out(), nullptr);
  if (result != ERROR_SUCCESS) {
    return Fail(error_r, std::string("cannot create the registry key ") + kProductKey + " (error " +
                             std::to_string(result) + ")");
  }
  const std::pair<const char*, std::string> values[] = {
      {"VantrelPath", root + "/vantrel/"},
      {"LotusNotesPath", root + "/domino/"},
      {"LotusNotesBuild", std::string(kVersion).substr(0, 5)},
      {"Server", "1"},
      {"SizeRestrictionEnabled", "0"},
      {"WTOA_Receive_SizeRestriction", "1"},
      {"WTOA_Send_SizeRestriction", "1"},
      {"WTOR_Receive_SizeRestriction", "1"},
      {"WTOS_Receive_SizeRestriction", "1"},
      {"WTOS_Send_SizeRestriction", "1"},
      {"VTADMINDB", "vtquaran.nsf"},
      {"AdminCount", "10"},
      {"MailBox", "20"},
      {"TimeOut", "120"},
      {"ProcessDeleteMailInSeconds", "20"},
      {"LogBufSize", "10000"},
      {"VTDEBUG", "1"},
      {"VTDisableWarningToAdmin", "1"},
      {"TimeOutWarningToAdmin", "1"},
      {"DONOT_DELETE_OUT_DIR", "0"},
  };
  for (const auto& [name, value] : values) {
    result = RegSetValueEx(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    if (result != ERROR_SUCCESS) {
      return Fail(error_r, std::string("cannot set registry value ") + name + " (error " + std::to_string(result) + ")");
    }
  }
  return true;
}

std::string StatusText(STATUS status) {
  char text[1024] = "";
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof text);
  return std::string(text) + " (status " + std::to_string(ERR(status)) + ")";
}

// A document under construction; closed on every path.
class NewDocument {
 public:
  ~NewDocument() {
    if (note_ != NULLHANDLE) (void)NSFNoteClose(note_);
  }
  [[nodiscard]] STATUS Create(DBHANDLE db) { return NSFNoteCreate(db, &note_); }
  void Text(const char* name, const std::string& value) {
    if (status_ == NOERROR) status_ = NSFItemSetText(note_, name, value.c_str(), static_cast<WORD>(value.size()));
  }
  void List(const char* name, const std::vector<std::string>& entries) {
    for (size_t i = 0; i < entries.size() && status_ == NOERROR; ++i) {
      const std::string& entry = entries[i];
      status_ = i == 0 ? NSFItemCreateTextList(note_, name, entry.c_str(), static_cast<WORD>(entry.size()))
                       : NSFItemAppendTextList(note_, name, entry.c_str(), static_cast<WORD>(entry.size()), TRUE);
    }
  }
  [[nodiscard]] STATUS Save() {
    if (status_ != NOERROR) return status_;
    return NSFNoteUpdate(note_, 0);
  }

 private:
  NOTEHANDLE note_ = NULLHANDLE;
  STATUS status_ = NOERROR;
};

class Database {
 public:
  ~Database() {
    if (db_ != NULLHANDLE) (void)NSFDbClose(db_);
  }
  [[nodiscard]] STATUS Open(const char* path) { return NSFDbOpen(path, &db_); }
  DBHANDLE get() const { return db_; }

 private:
  DBHANDLE db_ = NULLHANDLE;
};

bool CreateDatabase(const std::string& path, const std::string& title, const std::string& design_class,
                    std::string* error_r) {
  STATUS status = VtDbCreateWithInfo(path.c_str(), title.c_str(), design_class.c_str(), TRUE);
  if (status != NOERROR) return Fail(error_r, "cannot create " + path + ": " + StatusText(status));
  return true;
}

bool FillDirectory(std::string* error_r) {
  Database names;
  if (STATUS status = names.Open("names.nsf")) return Fail(error_r, "cannot open names.nsf: " + StatusText(status));
  {
    NewDocument server;
    STATUS status = server.Create(names.get());
    server.Text("Form", "Server");
    server.Text("Type", "Server");
    server.List("ServerName", {kServerName});
    server.Text("Domain", kInternetDomain);
    server.Text("SMTPFullHostDomain", kInternetDomain);
    server.Text("NotesDomain", kNotesDomain);
    server.Text("ServerBuildNumber", kVersion);
    if (status == NOERROR) status = server.Save();
    if (status != NOERROR) return Fail(error_r, "cannot write the server document: " + StatusText(status));
  }
  for (const Person& person : kPeople) {
    const std::string short_name = person.short_name;
    const std::string full_name = std::string(person.first_name) + " " + person.last_name;
    NewDocument document;
    STATUS status = document.Create(names.get());
    document.Text("Form", "Person");
    document.Text("Type", "Person");
    document.Text("FirstName", person.first_name);
    document.Text("LastName", person.last_name);
    document.List("FullName", {"CN=" + full_name + "/O=" + kNotesDomain, full_name, short_name});
    document.List("ShortName", {short_name});
    document.Text("InternetAddress", short_name + "@" + kInternetDomain);
    document.Text("MailDomain", kNotesDomain);
    document.Text("MailServer", kServerName);
    document.Text("MailFile", "mail/" + short_name + ".nsf");
    if (status == NOERROR) status = document.Save();
    if (status != NOERROR) return Fail(error_r, "cannot write the person document of " + short_name + ": " + StatusText(status));
  }
  return true;
}

// A schedule that is switched off, so the schedule runner finds a document to read and an
// administrator one to change (nsf put vtsched.nsf --note ID Option=Enable).
bool FillSchedule(std::string* error_r) {
  Database schedule;
  if (STATUS status = schedule.Open("vtsched.nsf")) return Fail(error_r, "cannot open vtsched.nsf: " + StatusText(status));
  NewDocument document;
  STATUS status = document.Create(schedule.get());
  document.Text("Form", "Scheduledfrm");
  document.Text("Option", "Disable");
  document.Text("StartUP", "No");
  document.Text("rdPeriod", "Daily");
  document.Text("Session", "am");
  document.Text("Hour", "2");
  document.Text("Minutes", "0");
  if (status == NOERROR) status = document.Save();
  if (status != NOERROR) return Fail(error_r, "cannot write the schedule document: " + StatusText(status));
  return true;
}

bool MakeDatabases(std::string* error_r) {
  struct Made {
    std::string path;
    std::string title;
    std::string design_class;
  };
  std::vector<Made> databases = {
      {"names.nsf", "Example Directory", "Directory"},
      {"mail.box", "Outgoing Mail", "MailBox"},
      {"mail2.box", "Outgoing Mail 2", "MailBox"},
      {"vtsched.nsf", "Vantrel Schedules and Rules", "VtSchedule"},
      {"vtquaran.nsf", "Vantrel Quarantine", "VtQuarantine"},
  };
  for (const Person& person : kPeople) {
    databases.push_back({std::string("mail/") + person.short_name + ".nsf",
                         std::string(person.first_name) + " " + person.last_name, "Mail"});
  }
  for (const Made& made : databases) {
    if (!CreateDatabase(made.path, made.title, made.design_class, error_r)) return false;
  }
  return FillDirectory(error_r) && FillSchedule(error_r);
}

// What the product is made of. A build tree holds more (test hook libraries, benchmark
// programs, this program); only these are installed, each when the build made it.
constexpr const char* kProductPrograms[] = {"nserver", "nrouter", "nsmtp",   "vantrel",
                                            "vtupdate", "vtsweep", "vtrunner", "vtsetup",
                                            "nsf",     "winreg",  "vtcapture", "vtquarantine"};
constexpr const char* kProductLibraries[] = {"libvt_notes.so", "libvtnotes.so", "librights.so",
                                             "libvtupdate.so"};

bool CopyInto(const fs::path& file, const fs::path& directory, std::string* error_r) {
  std::error_code error;
  const fs::path copy = directory / file.filename();
  fs::copy_file(file, copy, fs::copy_options::overwrite_existing, error);
  // The copy takes the source's mode as it stands; it is kept to the account.
  if (!error) {
    fs::permissions(copy, fs::perms::group_all | fs::perms::others_all, fs::perm_options::remove,
                    error);
  }
  if (error) return Fail(error_r, "cannot install " + file.string() + ": " + error.message());
  return true;
}

// The engine reads its signatures from the install directory only; its policy file is
// the administrator's once installed, so one already there is kept.
bool InstallEngineFiles(const std::string& build_dir, const std::string& root, std::string* error_r) {
  const fs::path source = fs::path(build_dir) / "share" / "engine";
  const fs::path install = fs::path(root) / "vantrel";
  std::error_code error;
  if (!fs::is_directory(source / "signatures", error))
    return Fail(error_r, build_dir + " holds no engine signatures (share/engine/signatures)");
  const fs::path signatures = install / "signatures";
  fs::create_directories(signatures, error);
  if (error) return Fail(error_r, signatures.string() + ": " + error.message());
  for (const fs::directory_entry& entry : fs::directory_iterator(source / "signatures", error)) {
    if (entry.is_regular_file(error) && !CopyInto(entry.path(), signatures, error_r)) return false;
  }
  if (error) return Fail(error_r, (source / "signatures").string() + ": " + error.message());
  if (fs::exists(source / "engine.ini", error) && !fs::exists(install / "engine.ini", error) &&
      !CopyInto(source / "engine.ini", install, error_r))
    return false;
  return true;
}

bool InstallPrograms(const std::string& build_dir, const std::string& root, std::string* error_r) {
  const fs::path target = fs::path(root) / "domino";
  std::error_code error;
  size_t copied = 0;
  for (const char* program : kProductPrograms) {
    const fs::path file = fs::path(build_dir) / "bin" / program;
    if (!fs::is_regular_file(file, error)) continue;
    if (!CopyInto(file, target, error_r)) return false;
    ++copied;
  }
  for (const char* library : kProductLibraries) {
    const fs::path file = fs::path(build_dir) / "lib" / library;
    if (!fs::is_regular_file(file, error)) continue;
    if (!CopyInto(file, target, error_r)) return false;
    ++copied;
  }
  if (copied == 0) return Fail(error_r, build_dir + " holds none of the product's programs (bin/) or libraries (lib/)");
  return InstallEngineFiles(build_dir, root, error_r);
}

// The installation identifier, made here once so that the router, the other server tasks
// and the console all read the same one instead of racing to make their own.
bool EnsureVantrelId(const std::string& root, std::string* error_r) {
  const std::string ini = root + "/vantrel/vantrel.ini";
  char existing[260] = "";
  GetPrivateProfileString("General", "VantrelID", "", existing, sizeof existing, ini.c_str());
  if (existing[0] != '\0') return true;
  return WriteSection(ini, "General", {{"VantrelID", foundation::MakeId(true)}}, error_r);
}

// A new root whose programs were installed gets the extensions that came with them loaded
// by the server tasks: the real-time scan first, then the size limits (which stay off until
// SizeRestrictionEnabled is set). An installation without them keeps NSF_HOOKS empty.
bool NameHookLibraries(const std::string& root, std::string* error_r) {
  const fs::path program_dir = fs::path(root) / "domino";
  std::string hooks;
  for (const char* name : {"vtnotes", "rights"}) {
    std::error_code error;
    if (!fs::exists(program_dir / ("lib" + std::string(name) + ".so"), error)) continue;
    hooks += (hooks.empty() ? "" : ",") + std::string(name);
  }
  if (hooks.empty()) return true;
  return WriteSection((program_dir / "notes.ini").string(), "Notes", {{"NSF_HOOKS", hooks}}, error_r);
}

// What holds the installation's identifier (vantrel.ini), its settings (the registry) and
// kept infected mails (Quarantine/) is the root's account's alone; the programs keep the
// modes when they rewrite the files.
bool GuardTheMark(const std::string& root, std::string* error_r) {
  const std::string quarantine = root + "/vantrel/Quarantine";
  if (!CreateDirectory(quarantine.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return Fail(error_r, quarantine + ": cannot be made (error " + std::to_string(GetLastError()) +
                             ")");
  for (const std::string& path : {root + "/vantrel/vantrel.ini", root + "/registry.db", quarantine}) {
    if (!VtRestrictToOwner(path.c_str()))
      return Fail(error_r, path + ": cannot be made private (error " +
                               std::to_string(GetLastError()) + ")");
  }
  return true;
}

bool IsEmptyOrMissing(const std::string& root) {
  std::error_code error;
  if (!fs::exists(root, error)) return true;
  return fs::is_directory(root, error) && fs::is_empty(root, error);
}

int Provision(const std::string& root, bool force, const std::string& install_from) {
  std::string error;
  auto failed = [&] {
    std::fprintf(stderr, "vtprovision: %s\n", error.c_str());
    return kExitFailed;
  };
  const bool provisioned = fs::exists(fs::path(root) / "domino" / "notes.ini");
  if (!IsEmptyOrMissing(root) && !force) {
    if (!install_from.empty() && provisioned) {
      setenv(vtplatform::kRootVariable, root.c_str(), 1);
      vtplatform::SetSystemRoot(root);
      return InstallPrograms(install_from, root, &error) && EnsureVantrelId(root, &error) &&
                     GuardTheMark(root, &error)
                 ? kExitOk
                 : failed();
    }
    error = root + " exists and is not empty (use --force to provision it anyway)";
    return failed();
  }
  std::error_code fs_error;
  fs::create_directories(root, fs_error);
  if (fs_error) {
    error = root + ": " + fs_error.message();
    return failed();
  }
  // Everything below goes through the stand-ins, which find the machine through VT_SYSROOT.
  setenv(vtplatform::kRootVariable, root.c_str(), 1);
  vtplatform::SetSystemRoot(root);
  if (!MakeDirectories(root, &error) || !WriteSettings(root, &error) ||
      !EnsureVantrelId(root, &error) || !WriteRegistry(root, &error) ||
      !GuardTheMark(root, &error))
    return failed();
  if (STATUS status = NotesInitExtended(0, nullptr)) {
    error = "Unable to Initialize Notes! " + StatusText(status);
    return failed();
  }
  bool made = MakeDatabases(&error);
  NotesTerm();
  if (!made) return failed();
  if (!install_from.empty() &&
      (!InstallPrograms(install_from, root, &error) || !NameHookLibraries(root, &error))) {
    return failed();
  }
  std::printf("provisioned %s\n", root.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  bool force = false;
  std::string install_from;
  std::string root;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--force") {
      force = true;
    } else if (arg == "--install") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vtprovision: --install needs a build directory\n%s", kUsage);
        return kExitUsage;
      }
      install_from = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vtprovision: unknown option %s\n%s", arg.c_str(), kUsage);
      return kExitUsage;
    } else if (root.empty()) {
      root = arg;
    } else {
      std::fprintf(stderr, "vtprovision: one root only\n%s", kUsage);
      return kExitUsage;
    }
  }
  if (root.empty()) {
    std::fprintf(stderr, "vtprovision: no root given\n%s", kUsage);
    return kExitUsage;
  }
  std::error_code error;
  fs::path absolute = fs::absolute(root, error);
  if (error) {
    std::fprintf(stderr, "vtprovision: %s: %s\n", root.c_str(), error.message().c_str());
    return kExitFailed;
  }
  std::string normal = absolute.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return Provision(normal, force, install_from);
}
