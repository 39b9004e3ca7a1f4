// job_list.h - the mails in progress (JobList) and the mails to delete (DeletionList).
//
// What it is for: the router opens one mail several times, so every mail is remembered
// from its first open until it leaves the mail box; a later open finds its JobRecord and
// reuses the first verdict. Mails to delete wait in the DeletionList until the deletion
// thread removes them from their mail box.
//
// A mail marked for deletion stays remembered after its deletion released the job: the
// router may have read the note just before it went and still open it once more, and that
// late open must find the verdict (and refuse the mail) rather than start the mail again,
// with a second quarantine copy. The idle sweep ends such a record. The note's creation
// time tells a late open of that mail from a new mail given the freed note ID.
//
// Ownership: the JobList holds its records through shared pointers. A note-open that found
// or created a record keeps its own reference (and counts itself in `users`) for as long as
// it works on the job, so releasing the job (job release, the sweep) never frees a record,
// nor closes a job mutex, under a thread that is still using it; the sweep also passes over
// records in use.
//
// Locks: the JobList is guarded by the named mutex "gMutex", a record's flags by its job
// mutex (or gMutex while the record is looked up); the DeletionList by "MailBoxMutex". The
// callers take those mutexes; the functions here assume them held.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/named_objects.h"
#include "platform/notes/notes_types.h"

namespace vtnotes {

struct JobRecord {
  std::string name;  // JobId + "a90z": the job mutex's name too
  foundation::UniqueHandle job_mutex;
  bool marked_for_deletion = false;
  bool no_virus = false;
  std::string out_path;
  std::string mailbox_number;
  std::atomic<DWORD> time_stamp{0};  // tick count of creation and of every later open
  NOTEID note_id = 0;
  TIMEDATE note_created{};  // the note's identity beside its (reusable) ID
  bool mail_deleted = false;  // released by the mail's deletion, kept as it was marked
  bool held_for_scan = false;  // left in its mail box unscanned; the next open starts afresh
  std::atomic<int> users{0};         // note-opens working on the job right now
};

// REQUIRES: gMutex held for every call.
class JobList {
 public:
  // The record of that name (exact comparison), or null.
  [[nodiscard]] std::shared_ptr<JobRecord> Find(const std::string& name) const;
  // Appends a new record; returns it.
  std::shared_ptr<JobRecord> Append(std::shared_ptr<JobRecord> record);
  // Unlinks the record of that name, compared without case; returns it (null if absent).
  std::shared_ptr<JobRecord> Remove(const std::string& name);
  // Records whose time stamp is more than max_age_ms old at `now` and that no note-open
  // is using.
  [[nodiscard]] std::vector<std::shared_ptr<JobRecord>> Idle(DWORD now, DWORD max_age_ms) const;
  [[nodiscard]] std::size_t Size() const { return records_.size(); }
  void Clear() { records_.clear(); }

 private:
  std::list<std::shared_ptr<JobRecord>> records_;
};

// A fixed table of entries "<mailbox number>-<note ID in decimal>".
// REQUIRES: MailBoxMutex held for every call.
class DeletionList {
 public:
  static constexpr int kSlots = 16384;
  static constexpr std::size_t kSlotBytes = 260;
  static constexpr int kAddPasses = 10;
  static constexpr DWORD kPassPauseMs = 100;

  DeletionList() : slots_(kSlots) {}

  // The entry text for a mail: the mailbox number read as a decimal (0 for mail.box).
  [[nodiscard]] static std::string EntryText(const std::string& mailbox_number, NOTEID note_id);

  // Puts the entry into the first free slot: true when added, false when the table stayed
  // full through kAddPasses passes (kPassPauseMs apart; the caller keeps MailBoxMutex).
  [[nodiscard]] bool Add(const std::string& entry);

  struct Next {
    int slot = -1;
    NOTEID note_id = 0;          // 0: no further entry
    std::string mailbox_number;  // as written before the hyphen (at most 3 characters)
  };
  // The next usable entry after slot `after` (-1: from the start). Malformed slots are
  // logged and passed over; a slot whose note ID reads as 0 ends the search.
  [[nodiscard]] Next FindNext(int after) const;

  void Clear(int slot);
  [[nodiscard]] int Count() const { return count_; }
  [[nodiscard]] const std::string& Slot(int slot) const { return slots_[slot]; }
  void ClearAll();

 private:
  std::vector<std::string> slots_;
  int count_ = 0;
  int first_free_ = 0;  // no free slot lies below it: where the search for one starts
};

}  // namespace vtnotes
