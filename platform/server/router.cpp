// router.cpp - scanning the mail boxes, delivering, reporting failures.
//
// Delivery is exactly once across a crash of the router: the set of databases already served
// lives in memory, so each delivered copy carries an origin item naming the box note it came
// from (box, note ID, creation time), and a report carries one naming the note it reports on.
// Before writing, the router looks the origin up through the text index of the target (and,
// for a report, in the box and then in the sender's mail file, where a report already routed
// went). A copy is written before the box note is deleted, so a crash in between finds the
// copy on the next try and writes no second one; a crash before the copy loses nothing.
//
// Against a crash of the machine the copy is synced before the mail leaves the box (a note
// update is durable when it returns), and so is a copy found by the origin lookup, which may
// come from a router that stopped before its sync. The deletion from the box is not synced:
// a mail that a crash brings back into the box is found delivered by the same lookup.
#include "platform/server/router.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/notes/mail_import.h"
#include "platform/server/mail_store.h"

namespace vtserver {
namespace {

// On a delivered copy: the box note it was delivered from.
constexpr char kOriginItem[] = "$RouterOrigin";
// On a non-delivery report: the box note whose failures it reports.
constexpr char kReportOriginItem[] = "$ReportOrigin";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Hex(NOTEID id) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(id));
  return text;
}

std::string Text(STATUS status) {
  char text[MAXSPRINTF] = "";
  (void)OSLoadString(NULLHANDLE, status, text, sizeof text);
  return std::string(text[0] != '\0' ? text : "error") + " (status " +
         std::to_string(ERR(status)) + ")";
}

bool Vanished(STATUS status) {
  return ERR(status) == ERR_INVALID_NOTE || ERR(status) == ERR_NOTE_DELETED;
}

std::vector<std::string> TextList(NOTEHANDLE note, const char* name) {
  std::vector<std::string> values;
  WORD count = NSFItemGetTextListEntries(note, name);
  for (WORD i = 0; i < count; ++i) {
    char value[1024] = "";
    WORD length = NSFItemGetTextListEntry(note, name, i, value, sizeof value);
    if (length > 0) values.emplace_back(value, length);
  }
  return values;
}

std::string TextItem(NOTEHANDLE note, const char* name) {
  char value[1024] = "";
  WORD length = NSFItemGetText(note, name, value, sizeof value);
  return std::string(value, length);
}

// Closes a note on every path.
struct NoteCloser {
  NOTEHANDLE note = NULLHANDLE;
  ~NoteCloser() {
    if (note != NULLHANDLE) (void)NSFNoteClose(note);
  }
};

struct Failure {
  std::string recipient;
  std::string reason;
};

STATUS OpenCached(const std::string& path, std::map<std::string, DBHANDLE>* dbs,
                  DBHANDLE* db_r) {
  auto found = dbs->find(path);
  if (found != dbs->end()) {
    *db_r = found->second;
    return NOERROR;
  }
  STATUS status = NSFDbOpen(path.c_str(), db_r);
  if (status == NOERROR) dbs->emplace(path, *db_r);
  return status;
}

void CloseAll(std::map<std::string, DBHANDLE>* dbs) {
  for (auto& [path, db] : *dbs) (void)NSFDbClose(db);
  dbs->clear();
}

// Writes the report for failures into box, addressed to sender; the caller syncs it.
STATUS WriteReport(DBHANDLE box, const std::string& sender, const std::string& subject,
                   const std::vector<Failure>& failures, const std::string& origin) {
  NoteCloser report;
  STATUS status = NSFNoteCreate(box, &report.note);
  if (status != NOERROR) return status;
  std::string reason = failures.front().reason;
  std::string body = "Your message\r\n\r\n  Subject: " + subject +
                     "\r\n\r\nwas not delivered to:\r\n\r\n";
  for (const Failure& failure : failures) {
    body += "  " + failure.recipient + "\r\n    " + failure.reason + "\r\n";
  }
  std::string title = "DELIVERY FAILURE: " + reason;
  std::string address = mail_import::BareAddress(sender);
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  auto text = [&](const char* name, const std::string& value) {
    return NSFItemSetText(report.note, name, value.c_str(),
                          static_cast<WORD>(std::min<size_t>(value.size(), MAXWORD - 1)));
  };
  status = text(MAIL_FORM_ITEM, "NonDelivery Report");
  if (status == NOERROR) status = text(MAIL_FROM_ITEM, "Mail Router");
  if (status == NOERROR) status = text(MAIL_SUBJECT_ITEM, title);
  if (status == NOERROR) status = text(MAIL_FAILUREREASON_ITEM, reason);
  if (status == NOERROR) status = text(MAIL_BODY_ITEM, body);
  if (status == NOERROR) status = text("OriginalSubject", subject);
  if (status == NOERROR) status = text(kReportOriginItem, origin);
  if (status == NOERROR)
    status = NSFItemCreateTextList(report.note, MAIL_SENDTO_ITEM, address.c_str(), MAXWORD);
  if (status == NOERROR)
    status = NSFItemCreateTextList(report.note, MAIL_RECIPIENTS_ITEM, address.c_str(), MAXWORD);
  for (const Failure& failure : failures) {
    if (status == NOERROR)
      status = NSFItemAppendTextList(report.note, MAIL_INTENDEDRECIPIENT_ITEM,
                                     failure.recipient.c_str(), MAXWORD, TRUE);
  }
  if (status == NOERROR) status = NSFItemSetTime(report.note, MAIL_POSTEDDATE_ITEM, &now);
  if (status == NOERROR) status = NSFNoteUpdate(report.note, UPDATE_NOCOMMIT);
  return status;
}

// Frees a compiled formula on every path.
struct FormulaOwner {
  FORMULAHANDLE formula = NULLHANDLE;
  ~FormulaOwner() {
    if (formula != NULLHANDLE) (void)OSMemFree(formula);
  }
};

// The identity of a box note that survives the router: a note ID is never given twice within
// one box file, and the creation time tells a box made anew apart.
std::string OriginOf(const std::string& box, NOTEID id, const TIMEDATE& created) {
  char text[64];
  std::snprintf(text, sizeof text, "!%X!%08X%08X", static_cast<unsigned>(id),
                static_cast<unsigned>(created.Innards[1]),
                static_cast<unsigned>(created.Innards[0]));
  return Lower(box) + text;
}

STATUS NoteFound(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH) *static_cast<bool*>(context) = true;
  return NOERROR;
}

// Whether db holds a document whose item `item` is origin; an indexed lookup, so it costs the
// same in a mail file of any size.
STATUS HoldsOrigin(DBHANDLE db, const char* item, const std::string& origin, bool* found_r) {
  *found_r = false;
  std::string formula = std::string("SELECT ") + item + " = \"";
  for (char c : origin) {
    if (c == '"' || c == '\\') formula += '\\';
    formula += c;
  }
  formula += '"';
  if (formula.size() >= MAXWORD) return ERR_BAD_PARAM;
  FormulaOwner compiled;
  STATUS status = NSFFormulaCompile(nullptr, 0, formula.c_str(), static_cast<WORD>(formula.size()),
                                    &compiled.formula, nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr);
  if (status != NOERROR) return status;
  return NSFSearch(db, compiled.formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, NoteFound,
                   found_r, nullptr);
}

struct IdCollector {
  std::vector<NOTEID>* ids;
};

STATUS CollectId(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  if (match->SERetFlags & SE_FMATCH) static_cast<IdCollector*>(context)->ids->push_back(match->ID.NoteID);
  return NOERROR;
}

// How often a wait looks at the stop request and at the queue.
constexpr int kStopCheckMs = 5;
// Quiet time of the boxes' logs before a scan, and the longest a change waits for it.
constexpr int kSettleMs = 10;
constexpr int kLongestSettleMs = 50;

// Tells the scanning thread that a mail box changed: a writer of a box appends to its log
// file (mail*.box-wal). Without the watch (no inotify), Wait only sleeps and the poll finds
// new mail.
class BoxWatch {
 public:
  explicit BoxWatch(const std::string& data_directory) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, data_directory.c_str(), IN_MODIFY | IN_CREATE) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~BoxWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  BoxWatch(const BoxWatch&) = delete;
  BoxWatch& operator=(const BoxWatch&) = delete;

  // Waits up to timeout_ms; true when a box changed since the last call.
  [[nodiscard]] bool Wait(int timeout_ms) {
    if (fd_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
      return false;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    bool box = false;
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && IsBoxFile(event->name)) box = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return box;
  }

 private:
  static bool IsBoxFile(const char* name) {
    std::string lower = Lower(name);
    return lower.compare(0, 4, "mail") == 0 && lower.find(".box") != std::string::npos;
  }

  int fd_ = -1;
};

}  // namespace

std::vector<std::string> ListMailBoxes(const std::string& data_directory) {
  std::vector<std::string> boxes;
  std::error_code error;
  for (std::filesystem::directory_iterator it(data_directory, error), end;
       !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    std::string lower = Lower(name);
    if (lower.size() >= 8 && lower.compare(0, 4, "mail") == 0 &&
        lower.compare(lower.size() - 4, 4, ".box") == 0) {
      boxes.push_back(name);
    }
  }
  std::sort(boxes.begin(), boxes.end());
  return boxes;
}

Router::Router(RouterSettings settings, RouterLogFn log)
    : settings_(settings), log_(std::move(log)), directory_("names.nsf") {
  settings_.threads = std::max(1, settings_.threads);
}

RouterCounts Router::Counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void Router::Run(const std::function<bool()>& stop) {
  std::vector<std::thread> workers;
  for (int i = 0; i < settings_.threads; ++i) workers.emplace_back([this] { Worker(); });
  STATUS status = directory_.Reload();
  if (status != NOERROR) log_("Unable to read the directory names.nsf: " + Text(status));
  char data[MAXPATH] = "";
  OSGetDataDirectory(data);
  BoxWatch watch(data);
  while (!stop()) {
    (void)directory_.Reload();
    // A scan lists every note of every box; while queued notes wait for a worker there is
    // nothing new it could add that would be handled sooner.
    bool idle = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      idle = queue_.empty();
    }
    bool changed = false;
    if (idle) ScanBoxes();
    else changed = true;  // not looked at yet
    // A new mail is seen when a box's log changes, not at the next poll; the poll stays for
    // retries coming due and for changes the watch cannot see. A writer's last write to the
    // log comes just before its commit becomes visible, so the scan waits until the log has
    // been quiet for a moment (or, under steady traffic, until kLongestSettleMs passed).
    using std::chrono::milliseconds;
    auto now = std::chrono::steady_clock::now();
    const auto due = now + milliseconds(settings_.poll_ms);
    auto first_change = now;
    auto last_change = now;
    while (!stop() && (now = std::chrono::steady_clock::now()) < due) {
      if (watch.Wait(kStopCheckMs)) {
        now = std::chrono::steady_clock::now();
        if (!changed) first_change = now;
        last_change = now;
        changed = true;
      }
      if (!changed) continue;
      if (now - last_change < milliseconds(kSettleMs) &&
          now - first_change < milliseconds(kLongestSettleMs)) {
        continue;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers) worker.join();
  CloseAll(&scan_dbs_);
}

void Router::ScanBoxes() {
  char data[MAXPATH] = "";
  OSGetDataDirectory(data);
  for (const std::string& box : ListMailBoxes(data)) {
    DBHANDLE db = NULLHANDLE;
    STATUS status = OpenCached(box, &scan_dbs_, &db);
    if (status != NOERROR) continue;  // busy or being created: next pass
    std::vector<NOTEID> ids;
    IdCollector collector{&ids};
    status = NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId,
                       &collector, nullptr);
    if (status != NOERROR) continue;
    std::set<NOTEID> present(ids.begin(), ids.end());
    auto now = std::chrono::steady_clock::now();
    bool queued = false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (NOTEID id : ids) {
      NoteKey key{box, id};
      if (in_flight_.count(key) != 0) continue;
      auto state = states_.find(key);
      if (state != states_.end() && (state->second.dead || state->second.next_try > now)) {
        continue;
      }
      in_flight_.insert(key);
      queue_.push_back(key);
      queued = true;
    }
    // States of notes that left the box are of no use any more.
    for (auto it = states_.begin(); it != states_.end();) {
      if (it->first.box == box && present.count(it->first.id) == 0 &&
          in_flight_.count(it->first) == 0) {
        it = states_.erase(it);
      } else {
        ++it;
      }
    }
    if (queued) work_ready_.notify_all();
  }
}

void Router::Worker() {
  if (NotesInitThread() != NOERROR) {
    log_("A router thread could not initialise Notes");
    return;
  }
  std::map<std::string, DBHANDLE> dbs;
  for (;;) {
    NoteKey key;
    NoteState state;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      key = queue_.front();
      queue_.pop_front();
      auto found = states_.find(key);
      if (found != states_.end()) state = found->second;
    }
    Outcome outcome = Outcome::kRetry;
    try {
      outcome = Handle(key, &state, &dbs);
    } catch (...) {
      log_("Unexpected failure while routing note " + Hex(key.id) + " of " + key.box);
    }
    Finish(key, state, outcome);
  }
  CloseAll(&dbs);
  NotesTermThread();
}

void Router::Finish(const NoteKey& key, const NoteState& state, Outcome outcome) {
  std::lock_guard<std::mutex> lock(mutex_);
  in_flight_.erase(key);
  switch (outcome) {
    case Outcome::kDone:
      ++counts_.delivered;
      states_.erase(key);
      break;
    case Outcome::kGone:
      ++counts_.gone;
      states_.erase(key);
      break;
    case Outcome::kDead: {
      NoteState& kept = states_[key];
      kept = state;
      kept.dead = true;
      break;
    }
    case Outcome::kRetry: {
      ++counts_.retries;
      NoteState& kept = states_[key];
      kept = state;
      kept.delay_ms = kept.delay_ms == 0 ? settings_.retry_initial_ms
                                         : std::min(kept.delay_ms * 2, settings_.retry_max_ms);
      kept.next_try = std::chrono::steady_clock::now() + std::chrono::milliseconds(kept.delay_ms);
      break;
    }
  }
}

std::mutex& Router::WriteLock(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<std::mutex>& entry = write_locks_[Lower(path)];
  if (!entry) entry = std::make_unique<std::mutex>();
  return *entry;
}

Router::Outcome Router::Handle(const NoteKey& key, NoteState* state,
                               std::map<std::string, DBHANDLE>* dbs) {
  const std::string name = "note " + Hex(key.id) + " of " + key.box;
  DBHANDLE box = NULLHANDLE;
  STATUS status = OpenCached(key.box, dbs, &box);
  if (status != NOERROR) {
    log_("Unable to open " + key.box + ": " + Text(status));
    return Outcome::kRetry;
  }

  // First open: to route the note.
  std::vector<std::string> recipients;
  std::string sender;
  std::string subject;
  std::string origin;
  bool is_report = false;
  {
    NoteCloser note;
    status = NSFNoteOpen(box, key.id, OPEN_DEFAULT, &note.note);
    if (Vanished(status)) return Outcome::kGone;
    if (status != NOERROR) {
      log_("Open of " + name + " refused: " + Text(status) + "; tried again later");
      return Outcome::kRetry;
    }
    recipients = TextList(note.note, MAIL_RECIPIENTS_ITEM);
    if (recipients.empty()) {
      for (const char* item : {MAIL_SENDTO_ITEM, MAIL_COPYTO_ITEM, MAIL_BLINDCOPYTO_ITEM}) {
        for (const std::string& entry : TextList(note.note, item)) {
          for (const std::string& address : mail_import::SplitAddressList(entry)) {
            recipients.push_back(mail_import::BareAddress(address));
          }
        }
      }
    }
    // The envelope sender when the mail came with one (empty for the null path), else From.
    sender = NSFItemIsPresent(note.note, kOriginatorItem,
                              static_cast<WORD>(std::strlen(kOriginatorItem)))
                 ? TextItem(note.note, kOriginatorItem)
                 : TextItem(note.note, MAIL_FROM_ITEM);
    subject = TextItem(note.note, MAIL_SUBJECT_ITEM);
    is_report = MailIsNonDeliveryReport(note.note) != FALSE;
    TIMEDATE created{};
    NSFNoteGetInfo(note.note, _NOTE_OID, &created);
    origin = OriginOf(key.box, key.id, created);
  }
  if (recipients.empty()) {
    log_(name + " names no recipient; left in the box as dead mail");
    return Outcome::kDead;
  }

  if (!directory_.Loaded()) {
    log_("The directory names.nsf could not be read; " + name + " tried again later");
    return Outcome::kRetry;
  }

  // Resolve: mail file (lower case, as the delivered set keeps it) -> its path as named.
  std::map<std::string, std::string> targets;
  std::vector<Failure> failures;
  for (const std::string& recipient : recipients) {
    std::optional<Person> person = directory_.Lookup(recipient);
    if (!person) {
      failures.push_back({recipient, "User " + recipient + " not listed in the directory"});
    } else if (person->mail_file.empty()) {
      failures.push_back({recipient, "No mail file is named for user " + recipient +
                                         " in the directory"});
    } else {
      targets.emplace(Lower(person->mail_file), person->mail_file);
    }
  }

  // Second open: the copy that is delivered, after the hooks saw the note again.
  NoteCloser note;
  status = NSFNoteOpen(box, key.id, OPEN_DEFAULT, &note.note);
  if (Vanished(status)) return Outcome::kGone;
  if (status != NOERROR) {
    log_("Open of " + name + " refused: " + Text(status) + "; tried again later");
    return Outcome::kRetry;
  }
  for (const auto& [lower, path] : targets) {
    if (state->delivered_files.count(lower) != 0) continue;
    DBHANDLE target = NULLHANDLE;
    status = OpenCached(path, dbs, &target);
    bool copied = false;
    if (status == NOERROR) {
      // A router that stopped between this write and the deletion from the box left its
      // copy there; the in-memory set did not survive it.
      bool held = false;
      STATUS lookup = HoldsOrigin(target, kOriginItem, origin, &held);
      if (ERR(lookup) == ERR_DB_BUSY) {
        status = lookup;
      } else if (lookup != NOERROR) {
        log_("Unable to look for an earlier copy of " + name + " in " + path + ": " +
             Text(lookup));
      } else if (held) {
        if (STATUS synced = VtDbSync(target); synced != NOERROR) {
          log_("Unable to sync " + path + ": " + Text(synced) + "; " + name +
               " tried again later");
          return Outcome::kRetry;
        }
        log_(name + " was already delivered to " + path + "; not delivered again");
        state->delivered_files.insert(lower);
        continue;
      }
    }
    if (status == NOERROR) {
      NoteCloser copy;
      status = NSFNoteCopy(note.note, &copy.note);
      if (status == NOERROR) {
        NSFNoteSetInfo(copy.note, _NOTE_DB, &target);
        status = NSFItemSetText(copy.note, kOriginItem, origin.c_str(),
                                static_cast<WORD>(origin.size()));
      }
      if (status == NOERROR) {
        // Synced outside the write lock, so that workers delivering into the same mail file
        // at once share one sync.
        {
          std::lock_guard<std::mutex> write(WriteLock(path));
          status = NSFNoteUpdate(copy.note, UPDATE_NOCOMMIT);
        }
        if (status == NOERROR) status = VtDbSync(target);
        copied = status == NOERROR;
      }
    }
    if (copied && settings_.crash_after == "copy") CrashForTest("copy");
    if (ERR(status) == ERR_DB_BUSY) {
      log_("Mail file " + path + " is busy; " + name + " tried again later");
      return Outcome::kRetry;
    }
    if (ERR(status) == ERR_DB_NOT_SYNCED) {
      log_("Mail file " + path + " could not be synced; " + name + " tried again later");
      return Outcome::kRetry;
    }
    if (status != NOERROR) {
      for (const std::string& recipient : recipients) {
        std::optional<Person> person = directory_.Lookup(recipient);
        if (person && Lower(person->mail_file) == lower) {
          failures.push_back({recipient, "Unable to deliver to mail file " + path + ": " +
                                             Text(status)});
        }
      }
      state->delivered_files.insert(lower);  // reported, not to be tried again
      continue;
    }
    state->delivered_files.insert(lower);
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_.copies;
  }

  if (!failures.empty() && !state->report_written) {
    if (is_report) {
      log_("Undeliverable non-delivery report " + name + " dropped: " + failures.front().reason);
    } else if (mail_import::BareAddress(sender).empty()) {
      log_(name + " not delivered to " + std::to_string(failures.size()) +
           " recipient(s); its sender is the null path, so no report is sent");
    } else {
      // The router may have stopped after writing the report and before removing this note.
      bool sent = false;
      status = ReportSent(box, sender, origin, dbs, &sent);
      if (status != NOERROR) {
        log_("Unable to look for an earlier non-delivery report for " + name + ": " +
             Text(status) + "; tried again later");
        return Outcome::kRetry;
      }
      if (sent) {
        log_("The non-delivery report for " + name + " was already sent; not sent again");
      } else {
        {
          std::lock_guard<std::mutex> write(WriteLock(key.box));
          status = WriteReport(box, sender, subject, failures, origin);
        }
        if (status == NOERROR) status = VtDbSync(box);
        if (status != NOERROR) {
          log_("Unable to write the non-delivery report for " + name + ": " + Text(status));
          return Outcome::kRetry;
        }
        if (settings_.crash_after == "report") CrashForTest("report");
        std::string reasons;
        for (const Failure& failure : failures) {
          reasons += (reasons.empty() ? "" : "; ") + failure.reason;
        }
        log_("Non-delivery report for " + name + " sent to " + mail_import::BareAddress(sender) +
             ": " + reasons);
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_.reports;
      }
    }
    state->report_written = true;
  }

  (void)NSFNoteClose(note.note);
  note.note = NULLHANDLE;
  {
    std::lock_guard<std::mutex> write(WriteLock(key.box));
    status = NSFNoteDelete(box, key.id, UPDATE_NOCOMMIT);
  }
  if (status != NOERROR && !Vanished(status)) {
    log_("Unable to remove delivered " + name + ": " + Text(status));
    return Outcome::kRetry;
  }
  return Outcome::kDone;
}

STATUS Router::ReportSent(DBHANDLE box, const std::string& sender, const std::string& origin,
                          std::map<std::string, DBHANDLE>* dbs, bool* sent_r) {
  // The box first: a report leaves it only after its copy is in the sender's mail file, so
  // looking there second cannot miss one that is being routed meanwhile.
  // A report found is synced before the mail it reports on leaves the box: it may be one
  // that a stopped router wrote and never synced.
  STATUS status = HoldsOrigin(box, kReportOriginItem, origin, sent_r);
  if (status != NOERROR) return status;
  if (*sent_r) return VtDbSync(box);
  std::optional<Person> person = directory_.Lookup(mail_import::BareAddress(sender));
  if (!person || person->mail_file.empty()) return NOERROR;  // a report there is dropped
  DBHANDLE mail_file = NULLHANDLE;
  status = OpenCached(person->mail_file, dbs, &mail_file);
  if (status == NOERROR) status = HoldsOrigin(mail_file, kReportOriginItem, origin, sent_r);
  if (status == NOERROR && *sent_r) return VtDbSync(mail_file);
  if (ERR(status) == ERR_DB_BUSY) return status;
  if (status != NOERROR) {
    log_("Unable to look for a non-delivery report in " + person->mail_file + ": " +
         Text(status));
  }
  return NOERROR;
}

void Router::CrashForTest(const char* moment) {
  log_(std::string("Stopping abruptly after writing a ") + moment + " (test)");
  std::_Exit(3);
}

}  // namespace vtserver
