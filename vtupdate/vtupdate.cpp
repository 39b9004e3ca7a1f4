// NAME
//      vtupdate - tell the running real-time extension to re-read its settings
//
// SYNOPSIS
//      vtupdate [--root DIR]
//
// DESCRIPTION
//      vtupdate calls UpdateDLL of libvtupdate.so, for scripts and administrators who have
//      changed the product's settings (vantrel.ini, the registry values) and want the
//      extension in the mail router to pick them up without a restart. UpdateDLL sets the
//      named event "UpdateEvent"; the extension's reload thread, which waits on it, then
//      reloads the administrator and quarantine lists, the debug level and the warning
//      switches, and, when the engine runs, the time-out and the log size, and turns
//      scanning on.
//
//      When no router holds the event open, the signal is lost: nobody is waiting.
//
// OPTIONS
//      --root DIR   the machine's root (default: VT_SYSROOT)
//
// FILES
//      <root>/windows/win.ini        [Vantrel] InstallDirectory: the install directory
//      <install>/vantrel.ini         [General] ReportDirectory: where updatedll.log goes
//      <report>/updatedll.log        the failures; <root>/updatedll.log without a report
//                                    directory
//      named objects: UpdateEvent
//
// DIAGNOSTICS
//      "Unabel to Get Vantrel Path from win.ini" on standard error (the message box) when
//      WIN.INI names no install directory. "Error: OpenEvent Fails...Reason above" in
//      updatedll.log, after the system's text, when the event cannot be made. Exit status
//      0 whenever UpdateDLL was called (it reports no failure), 2 for a bad command line.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/win32/machine.h"
#include "vtupdate/update_dll.h"

namespace {

constexpr const char kUsage[] = "usage: vtupdate [--root DIR]\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--root" && i + 1 < argc) {
      // The library reads the machine's root from the environment, as every child of ours.
      ::setenv(vtplatform::kRootVariable, argv[++i], 1);
      continue;
    }
    std::fprintf(stderr, "vtupdate: unknown argument %s\n%s", argv[i], kUsage);
    return 2;
  }
  return UpdateDLL();
}
