// router.h - the mail router: takes notes from every mail*.box and delivers them.
//
// What it is for: the heart of nrouter (and of its benchmark). One scanning thread lists the
// documents of every mail*.box of the data directory and queues those that are due; worker
// threads handle one note each:
//   1. open it (the note-open hooks run; a non-zero status refuses the open: the note stays
//      in the box and is tried again after a delay that doubles from retry_initial_ms up to
//      retry_max_ms) and read its recipients (Recipients, else SendTo/CopyTo/BlindCopyTo);
//   2. resolve each recipient through the directory;
//   3. open it again (the hooks run again and may refuse or change the copy) and deliver the
//      opened copy into each recipient's mail database, once per database;
//   4. write one non-delivery report for the recipients that could not be served, back to
//      the sender (SMTPOriginator, else From), unless the note is itself a report or the
//      sender is the null path;
//   5. delete the note from the box (the note-update hooks see the deletion with
//      UPDATE_DELETED).
// A note that vanished meanwhile (an extension deleted it) is simply gone. A mail database
// that stays locked past the Notes busy wait is tried again later, without delivering twice
// to the databases already served, and so is a note the router was handling when it died: a
// copy carries an origin item ($RouterOrigin) and a report one ($ReportOrigin) naming the box
// note, looked up before each write, so no mail database gets a second copy and no sender a
// second report. A note without any recipient is left in the box as dead
// mail and not tried again while the router runs. While the directory cannot be read, notes
// wait in the box instead of being reported as addressed to unknown users.
// Ownership: the router owns its queue and per-note states; workers own their database
// handles and close them when they end.
// Locks: mutex_ guards the queue, the in-flight set, the per-note states, the counters and
// the table of write locks; it is never held across a Notes call. A write lock is held
// across one write (a delivered copy, a report, a deletion, with the hooks of that write)
// and never together with another one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/notes/notes.h"
#include "platform/server/directory.h"

namespace vtserver {

struct RouterSettings {
  int threads = 4;
  int poll_ms = 200;
  int retry_initial_ms = 500;
  int retry_max_ms = 60000;
  // Test seam: "copy" or "report" ends the process right after that write, before the note
  // leaves its box, as a crash at the worst moment would. Empty in normal use.
  std::string crash_after;
};

struct RouterCounts {
  long delivered = 0;  // notes delivered and removed from their box
  long copies = 0;     // copies written into mail databases
  long reports = 0;    // non-delivery reports written
  long gone = 0;       // notes that vanished before they could be delivered
  long retries = 0;    // refused opens and busy databases
};

using RouterLogFn = std::function<void(const std::string& line)>;

class Router {
 public:
  Router(RouterSettings settings, RouterLogFn log);

  // Runs the scan loop on the calling thread (which must have initialised Notes) and the
  // worker threads until stop() returns true; returns once every worker has ended.
  void Run(const std::function<bool()>& stop);

  [[nodiscard]] RouterCounts Counts() const;

 private:
  struct NoteKey {
    std::string box;
    NOTEID id = 0;
    bool operator<(const NoteKey& other) const {
      return box != other.box ? box < other.box : id < other.id;
    }
  };
  struct NoteState {
    std::chrono::steady_clock::time_point next_try{};
    int delay_ms = 0;
    bool dead = false;
    bool report_written = false;
    std::set<std::string> delivered_files;  // lower-case mail file paths
  };
  enum class Outcome { kDone, kGone, kRetry, kDead };

  void ScanBoxes();
  void Worker();
  Outcome Handle(const NoteKey& key, NoteState* state, std::map<std::string, DBHANDLE>* dbs);
  void Finish(const NoteKey& key, const NoteState& state, Outcome outcome);
  // Whether the report for the box note named by origin was written before (it is still in
  // the box, or already in the sender's mail file). A non-zero status: look again later.
  [[nodiscard]] STATUS ReportSent(DBHANDLE box, const std::string& sender,
                                  const std::string& origin,
                                  std::map<std::string, DBHANDLE>* dbs, bool* sent_r);
  [[noreturn]] void CrashForTest(const char* moment);
  std::mutex& WriteLock(const std::string& path);

  RouterSettings settings_;
  RouterLogFn log_;
  Directory directory_;

  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  bool stopping_ = false;
  std::deque<NoteKey> queue_;
  std::set<NoteKey> in_flight_;
  std::map<NoteKey, NoteState> states_;
  RouterCounts counts_;
  std::map<std::string, DBHANDLE> scan_dbs_;  // scanning thread only
  // One per database the workers write to (lower-case path): the workers of this process
  // take turns in here instead of in the storage's busy wait, which backs off by sleeping.
  std::map<std::string, std::unique_ptr<std::mutex>> write_locks_;
};

// The mail*.box files of the data directory (names relative to it), sorted.
[[nodiscard]] std::vector<std::string> ListMailBoxes(const std::string& data_directory);

}  // namespace vtserver
