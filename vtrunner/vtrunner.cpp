// NAME
//      vtrunner - the schedule runner: starts the database scanner at the scheduled time
//
// SYNOPSIS
//      vtrunner
//      (started by the server: notes.ini ServerTasks=...,vtrunner)
//
// DESCRIPTION
//      vtrunner is a server add-in task. The server starts it from the ServerTasks line of
//      notes.ini and stops it when the server goes down (SIGTERM here). At start it puts a
//      status line "Vantrel For Lotus Notes" on the server's task list, writes its banner to
//      the server console (product, maker, build, whether the engine is running) and reads
//      the schedule: the documents of form "Scheduledfrm" in vtsched.nsf of the server's data
//      directory, the last one read winning. When the schedule asks for a run at start
//      (StartUP "Yes") and is switched on (Option "Enable"), the scanner starts at once.
//
//      Then, once a minute, it looks at the registry value "Save": a "1" (written by whoever
//      changed the schedule) is set back to "0", the schedule is read again and one launch
//      is armed. When the schedule is switched on, armed, and the day (daily; weekly on the
//      weekdays of rdWeekDays; monthly on day rdMonth), hour (Hour, with Session am/pm) and
//      minute (Minutes) are now, the scanner is started, once, without waiting for it:
//      "<LotusNotesPath>\vtsweep.exe" "1" (quoted: the directory may hold blanks), the
//      argument that puts it in scheduled mode. The
//      next scheduled launch needs another "Save" of "1".
//
// FILES
//      <data>/vtsched.nsf              the schedule document
//      <LotusNotesPath>/vtsweep        the scanner started
//      <ReportDirectory>/vtrunner.log  the log (lines "MM/DD/YY HH:MM:SS : text")
//
// CONFIGURATION
//      Registry key SOFTWARE\Veltrane\Vantrel For Lotus Notes:
//      VTDEBUG           above 5: the log is written (banner, each minute's times, Notes
//                        status texts); the lines saying why no scan can start are written
//                        whatever it says
//      LotusNotesPath    the Domino program directory; required
//      LotusNotesBuild   the build shown in the banner
//      Save              "1": read the schedule again and arm one launch
//      WIN.INI [Vantrel] InstallDirectory (default "c:\"): where vantrel.ini and the
//      engine's lock file are; vantrel.ini [General] ReportDirectory: where the log goes.
//      The add-in clock runs VT_ADDIN_CLOCK_SCALE times faster when that is set (tests).
//
// DIAGNOSTICS
//      "unable to Get Lotus Notes Path Registry" (log and console, once): LotusNotesPath is
//      missing; the task waits, looking again every minute, until it is set. A scanner that
//      cannot be started is said in the log and on the console with the system's reason,
//      and is not retried. A schedule value that cannot be a time or a day is said in the
//      log and on the console with the schedule document's note ID each time the schedule
//      is read; an hour, minute or day of the month that cannot be one keeps the scheduled
//      scan off. Notes errors while reading the schedule leave the previous schedule in
//      force. Exit status 0 when stopped by the server, 1 when the Notes runtime failed.
#include <cstdio>
#include <string_view>

#include "platform/notes/notes.h"
#include "platform/notes/notes_addin.h"
#include "vtrunner/runner.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--help") {
    std::printf(
        "usage: vtrunner (an add-in task started by the server from notes.ini "
        "ServerTasks)\n");
    return 0;
  }
  if (STATUS status = NotesInitExtended(argc, argv)) {
    AddInLogErrorText("%s: Unable to Initialize Notes!", status, vtrunner::kProductName);
    return 1;
  }
  int result = vtrunner::RunnerMain();
  NotesTerm();
  return result;
}
