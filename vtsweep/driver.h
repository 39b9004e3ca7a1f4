// driver.h - the scan thread: which databases a run scans, and each database's search.
//
// What it is for: the scan thread does all the Notes work of a run. It prepares the job and
// result directories and the event "scandatabasex", scans the databases of the list (every
// entry naming a .nsf or .ntf file) and then walks the folder (every .nsf file, into
// subfolders when asked, minus the exclusions), and clears up. Each database is opened
// with the watchdog and searched for the documents to scan: every posted document when
// content control is on, else every posted document with attachments.
//
// Databases lie below the Notes data directory: list entries and folders that lead
// elsewhere are logged and skipped. A folder reached a second time (a link that leads back)
// is walked once.
//
// Ownership: the SweepRun is main's; the thread owns the event and the directories while it
// runs. Locks: none; `scanning` and `done` are the flags main polls.
#pragma once

#include <set>
#include <string>
#include <utility>

#include "platform/notes/notes.h"
#include "vtsweep/sweep_run.h"

namespace vtsweep {

// Identities (volume, file index) of the folders a walk has entered.
using VisitedFolders = std::set<std::pair<DWORD, unsigned long long>>;

// The run's last lines: the totals when anything was left undone, then how it ended ("User
// Abort the Scanning", the stop for time-outs, infected documents left unchanged, or
// "Program completed successfully.").
void WriteEndOfRun(const SweepRun& run);
// True when the run was not stopped by time-outs and changed no verdict for want of a copy.
[[nodiscard]] bool RunEndedWhole(const SweepRun& run);

// The spool paths of a run from its install directory and ScanDir.
void BuildScanPaths(SweepRun& run);

// The whole scan thread (steps 1 to 9). quit, when given, is called last (it ends the
// window's message loop).
void RunScanThread(SweepRun& run, void (*quit)());

// Scans one database: display is the name logged, path the file opened. The Notes status
// of a failed search (flag bits cleared), else 0.
STATUS ScanDatabaseFile(SweepRun& run, const std::string& display, const std::string& path);

// Scans the databases of the list, in order.
void ScanDatabaseList(SweepRun& run);

// Walks a folder (relative to the data directory, or absolute below it).
void WalkFolder(SweepRun& run, const std::string& folder, VisitedFolders& visited);

}  // namespace vtsweep
