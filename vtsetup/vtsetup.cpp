// NAME
//   vtsetup - name the mail administrators of a Vantrel installation
//
// SYNOPSIS
//   vtsetup [--root DIR] [--script FILE] [EDIT]
//   vtsetup --help
//
// DESCRIPTION
//   Without EDIT, vtsetup runs the setup wizard of a new installation: the primary domain
//   (chosen from the server documents of the Domino directory names.nsf or typed), the
//   administrator's mail database (typed or chosen with Browse) and the administrator's
//   e-mail ID (a name without "@" gets "@" and the primary domain). Next accepts them when
//   the database is a mail database and the ID is valid; the settings are then written, a
//   running extension is told to reload them, and the engine is started (see FILES).
//
//   With any EDIT argument, vtsetup shows the list of administrators: Add (a local user
//   with a mail database, or an Internet user with an address only), Delete, Delete All
//   (keeps the first), Save and Cancel. Save writes the list, tells a running extension to
//   reload its settings and starts the engine as setup does. A database path with a comma
//   is refused (the stored lists are comma-separated), and so is a list of IDs longer than
//   8191 characters, which the readers of vantrel.ini could not take whole.
//
//   Windows are drawn on the terminal (Tab between controls, Space to select list entries,
//   Enter for the default button, Esc for Cancel), or headless when VT_WINDOW=headless or
//   the standard streams are not a terminal. --script FILE runs headless and carries out
//   the events of FILE instead of keys; its format follows under SCRIPT FILE.
//
//   Only one vtsetup runs at a time.
//
// OPTIONS
//   --root DIR     the machine root (default: VT_SYSROOT); vtprovision DIR makes one
//   --script FILE  run headless, carrying out the events of FILE
//   --help         the usage and the event-file format
//
// FILES
//   INSTALL/vantrel.ini [General]  PrimaryDomain (setup), AdminEmailId, WarningMailsFromUser,
//                                  VantrelID (made when absent)
//   registry SOFTWARE\Veltrane\Vantrel For Lotus Notes
//                                  VTADMINDB, AdminCount (edit, when absent); in setup mode
//                                  VantrelPath, LotusNotesPath, Server=1,
//                                  SizeRestrictionEnabled=0, the five WTO*_SizeRestriction=1,
//                                  ServerBuildNumber
//   INSTALL/vantrel, else PROGRAM/vantrel
//                                  the engine, started after the settings are written
//                                  unless INSTALL/firstime.sem exists or an engine runs
//                                  already: detached, and waited for at most 8 seconds to
//                                  take INSTALL/maildisp.lck; the log says whether it did
//   REPORTS/vtsetup.LOG            the log (vtsetup.log in the working directory when
//                                  vantrel.ini names no ReportDirectory)
//   INSTALL is the InstallDirectory of WIN.INI's [Vantrel] section, PROGRAM the Notes
//   program directory (notes.ini NotesProgram).
//
// CONFIGURATION
//   WIN.INI [Vantrel] InstallDirectory (default c:\); vantrel.ini [General] ReportDirectory,
//   and in edit mode PrimaryDomain (required) and AdminEmailId; the registry values
//   VTADMINDB, AdminCount (most administrators, default 10) and LotusNotesBuild (logged);
//   notes.ini NotesProgram, else Directory without its last "data" component. VT_SYSROOT
//   (or --root) names the machine root; VT_WINDOW=headless draws nothing.
//
// DIAGNOSTICS
//   Entries the console refuses are shown in message boxes and the dialog stays open; the
//   log gets each box's text and the Notes text of a failed Notes call. A second instance
//   logs "VTSETUP is already running..." (in Vtsetup.log of the working directory), says so
//   on standard error and exits. Without a machine root (no --root, no VT_SYSROOT) vtsetup
//   says so on standard error and exits. Errors of --script go to standard error as
//   "vtsetup: FILE:LINE: reason".
//
// EXIT STATUS
//   0 when the console ran (also when it was cancelled), -1 (255) when another vtsetup runs,
//   2 for a usage error, a missing machine root, or a script that could not be read or
//   carried out.
//
// SEE ALSO
//   vtupdate(1), vtprovision(1)

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ui/winuser.h"
#include "platform/win32/machine.h"
#include "vtsetup/console/console.h"
#include "vtsetup/console/script.h"

namespace {

constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: vtsetup [--root DIR] [--script FILE] [EDIT]\n"
    "  Without EDIT the setup wizard runs; with any EDIT argument the administrator list.\n"
    "  --root DIR     the machine root (default: the environment variable VT_SYSROOT);\n"
    "                 vtprovision DIR makes one\n"
    "  --script FILE  run headless, carrying out the events of FILE\n"
    "  --help         this text\n\n";

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> script_file;
  std::vector<char*> console_arguments = {argv[0]};
  bool edit_mode = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      std::fputs(vtsetup::kScriptHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--root") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fputs("vtsetup: --root needs a directory\n", stderr);
        return kExitUsage;
      }
      ::setenv(vtplatform::kRootVariable, argv[++i], 1);
      continue;
    }
    if (std::strcmp(argv[i], "--script") == 0) {
      if (i + 1 >= argc) {
        std::fputs("vtsetup: --script needs a file\n", stderr);
        return kExitUsage;
      }
      script_file = argv[++i];
      continue;
    }
    if (argv[i][0] != '\0') edit_mode = true;
    console_arguments.push_back(argv[i]);
  }

  // Everything the console reads and writes lives below the machine root.
  const char* root = std::getenv(vtplatform::kRootVariable);
  struct stat root_info {};
  if (root == nullptr || *root == '\0') {
    std::fputs("vtsetup: no machine root: give --root DIR or set VT_SYSROOT (vtprovision DIR "
               "makes one; see vtsetup --help)\n",
               stderr);
    return kExitUsage;
  }
  if (::stat(root, &root_info) != 0 || !S_ISDIR(root_info.st_mode)) {
    std::fprintf(stderr, "vtsetup: the machine root %s is not a directory (vtprovision %s makes one)\n",
                 root, root);
    return kExitUsage;
  }

  std::optional<vtsetup::ScriptDriver> driver;
  if (script_file) {
    std::ifstream in(*script_file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vtsetup: cannot read %s\n", script_file->c_str());
      return kExitUsage;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    auto events = vtsetup::ParseScript(text, error);
    if (!events) {
      std::fprintf(stderr, "vtsetup: %s:%s\n", script_file->c_str(), error.c_str());
      return kExitUsage;
    }
    VtWindowSetMode(VtWindowMode::kHeadless);
    VtWindowSetDriven(TRUE);
    driver.emplace(*script_file, std::move(*events));
    driver->Start();
  }

  const int exit_code = vtsetup::RunConsole(static_cast<int>(console_arguments.size()),
                                            console_arguments.data(), edit_mode);
  if (driver && !driver->Finish()) return kExitUsage;
  return exit_code;
}
