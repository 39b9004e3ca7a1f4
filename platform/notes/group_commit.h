// group_commit.h - making committed writes durable, one sync serving many committers.
//
// What it is for: a database commits its transactions into its log (<file>-wal) without
// syncing it (SQLite's synchronous=NORMAL: a machine crash may lose the last transactions but
// never damages the file). A caller that must promise a write survives a power cut (a note
// update without UPDATE_NOCOMMIT, a mail accepted with "250") then calls SyncCommitted:
// every transaction committed before the call is on the disk surface when it returns. Calls
// for the same file that arrive while a sync runs wait for the next one and share it, so
// under load the syncs per commit fall well below one (group commit).
// Content files and directory entries are synced through SyncFile and SyncDirectory, which
// go through the same seam, so a test can count every sync the storage makes or make them
// fail.
// Ownership: nothing is handed out; descriptors live only inside a call.
// Locks: one mutex per file's group, held only to join or end a round, never across a sync.
#pragma once

#include <string>

#include "platform/notes/notes.h"

namespace notes_internal {

// Whether writes are synced at all (notes.ini NSF_SyncCommits, default 1). Test machines
// may turn it off: a machine crash may then lose accepted mail, still without damaging a
// database. Read at NotesInit.
[[nodiscard]] bool SyncEnabled();
void SetSyncEnabled(bool enabled);

// Makes every transaction committed to the database file `file` before the call durable.
// NOERROR, or ERR_DB_NOT_SYNCED when the disk refused (what was committed stays visible,
// but a crash may lose it).
[[nodiscard]] STATUS SyncCommitted(const std::string& file);

// fdatasync of fd through the test seam, EINTR retried; false on failure.
[[nodiscard]] bool SyncFile(int fd);
// Syncs the whole file system fd lies on (syncfs): for many files at once, one sync where a
// sync of each would cost as many disk flushes.
[[nodiscard]] bool SyncFileSystem(int fd);
// Syncs the entries of a directory (a file created, linked or renamed into it).
[[nodiscard]] bool SyncDirectory(const std::string& path);
// The directory part of a path ("." when there is none).
[[nodiscard]] std::string ParentDirectory(const std::string& path);

// Test seam: every sync of the storage goes through fn (fdatasync, or syncfs when
// whole_file_system, when null). fn returns 0 or -1 with errno set, as they do.
using SyncFunction = int (*)(int fd, bool whole_file_system);
void SetSyncFunctionForTest(SyncFunction fn);

}  // namespace notes_internal
