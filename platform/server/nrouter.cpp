// NAME
//   nrouter - the mail server's router task
//
// SYNOPSIS
//   nrouter [--root DIR]
//
// DESCRIPTION
//   A server task, normally started by nserver. It loads the hook libraries named in notes.ini
//   (a library sees this program's name, nrouter, as the task that loaded it) and routes the
//   mail of every mail*.box of the data directory with several threads: each note is opened
//   through the hooks to route it, its recipients are looked up in the person documents of
//   names.nsf (Internet address, full name or short name), the note is opened again and the
//   opened copy is delivered into each recipient's mail database; then the note is deleted
//   from the box, a deletion the note-update hooks see. Recipients the directory does not
//   know, or whose person document names no mail file, get a non-delivery report back to the
//   sender. A refused open (a hook's non-zero status) leaves the note in the box to be tried
//   again after a delay that doubles each time; a note deleted meanwhile is gone. A router
//   that died while handling a note does not deliver it twice when started again: each copy
//   and each report names the box note it came from, and is looked for before it is written.
//   The task ends on SIGTERM or SIGINT once the notes in hand are done.
//
// FILES
//   <root>/domino/notes.ini          settings (below)
//   <root>/domino/data/mail*.box     the router mail boxes
//   <root>/domino/data/names.nsf     the directory (re-read when it changes)
//   <root>/domino/console.log        the log, shared by the server tasks
//
// CONFIGURATION (notes.ini)
//   RouterThreads          delivery threads (default 4, 1 to 64)
//   RouterPollMs           how often the boxes are looked at (default 200)
//   RouterRetryInitialMs   first delay after a refused open or a busy database (default 500)
//   RouterRetryMaxMs       longest such delay (default 60000)
//   NSF_HOOKS              hook libraries loaded at start
//
// ENVIRONMENT
//   VT_ROUTER_CRASH_AFTER  test seam, read only by the tests: "copy" or "report" makes the
//                          task exit with status 3 right after writing a delivered copy or a
//                          non-delivery report, before the note is removed from its box, to
//                          show that a restarted router neither loses nor repeats that mail.
//
// DIAGNOSTICS
//   Log lines on standard output and in console.log: refused opens, busy databases,
//   non-delivery reports, dead mail. Exit status 0 after a requested stop, 1 when the runtime
//   cannot start.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "platform/server/router.h"
#include "platform/server/server_task.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: nrouter [--root DIR]\n  the router task, normally started by nserver (see ServerTasks)\n");
      return 0;
    }
  }
  STATUS status = vtserver::StartServerTask("Router", argc, argv);
  if (status != NOERROR) {
    std::fprintf(stderr, "nrouter: the Notes runtime did not start: status %u\n",
                 static_cast<unsigned>(ERR(status)));
    return 1;
  }
  vtserver::RouterSettings settings;
  settings.threads = static_cast<int>(vtserver::EnvironmentNumber("RouterThreads", 4, 1, 64));
  settings.poll_ms = static_cast<int>(vtserver::EnvironmentNumber("RouterPollMs", 200, 10, 60000));
  settings.retry_initial_ms =
      static_cast<int>(vtserver::EnvironmentNumber("RouterRetryInitialMs", 500, 10, 3600000));
  settings.retry_max_ms =
      static_cast<int>(vtserver::EnvironmentNumber("RouterRetryMaxMs", 60000, 10, 3600000));
  settings.retry_max_ms = std::max(settings.retry_max_ms, settings.retry_initial_ms);
  if (const char* crash_after = std::getenv("VT_ROUTER_CRASH_AFTER")) {
    settings.crash_after = crash_after;
  }
  vtserver::TaskLog("Router started with %d threads", settings.threads);
  vtserver::Router router(settings,
                          [](const std::string& line) { vtserver::TaskLog("%s", line.c_str()); });
  router.Run([] { return vtserver::StopRequested(); });
  vtserver::RouterCounts counts = router.Counts();
  vtserver::TaskLog("Router stopped: %ld delivered, %ld reports, %ld gone, %ld retries",
                    counts.delivered, counts.reports, counts.gone, counts.retries);
  vtserver::EndServerTask();
  return 0;
}
