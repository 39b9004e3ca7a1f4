// schedule.h - the schedule of the database scanner: what the schedule document says and
// whether the scanner is due at a given minute.
//
// What it is for: the schedule runner reads the scheduled form of vtsched.nsf into a
// Schedule, then asks once a minute whether the scanner is due. The reading of the items
// (ApplyScheduleItems) and the decision (IsDue) know nothing about Notes, so every rule can be
// tried on made-up documents; ReadSchedule fills the items from the database.
//
// Ownership: plain values. Locks: none; the runner is single-threaded.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/windows.h"

namespace vtrunner {

// Item texts are read into buffers of this many bytes (the NUL included).
inline constexpr size_t kItemTextBytes = 499;

inline constexpr const char* kScheduleDatabase = "vtsched.nsf";
inline constexpr const char* kScheduleForm = "Scheduledfrm";

enum class Period { kDaily, kWeekly, kMonthly };

// The texts of one schedule document, as stored.
struct ScheduleItems {
  std::string start_up{};               // "StartUP"
  std::string option{};                 // "Option"
  std::string period{};                 // "rdPeriod"
  std::string month_day{};              // "rdMonth"
  std::vector<std::string> weekdays{};  // "rdWeekDays", one entry per day named
  std::string session{};                // "Session": "am" or "pm"
  std::string hour{};                   // "Hour"
  std::string minutes{};                // "Minutes"
};

struct Schedule {
  bool read = false;  // a schedule document has been read
  bool run_at_start = false;
  bool enabled = false;
  Period period = Period::kDaily;
  int month_day = 1;
  bool weekdays[7] = {};  // Sunday to Saturday
  int hour = 0;
  int minute = 0;
};

// Folds one document's items into the schedule (a later document overrides an earlier one).
// Returns what in them cannot be a time or a day, one text each. An hour, minute or day of
// the month that cannot be one leaves the schedule off (not enabled); a weekday entry that
// names no day counts as Sunday, and a session neither "am" nor "pm" as am.
std::vector<std::string> ApplyScheduleItems(const ScheduleItems& items, Schedule& schedule);

// The day test: weekly, today's weekday is flagged; monthly, today is the scheduled day of the
// month; daily, always; false before any schedule was read.
[[nodiscard]] bool DayMatches(const Schedule& schedule, const SYSTEMTIME& now);

// True when the scanner is to be started at `now`: enabled, armed, the day test passes and the
// hour and minute are the scheduled ones.
[[nodiscard]] bool IsDue(const Schedule& schedule, bool armed, const SYSTEMTIME& now);

// Reads every schedule document of the database at `path` (the bare name opens it in the
// server's data directory) into `schedule`. On a Notes failure the status is returned, its
// text logged through `log_status`, and the schedule keeps what it held.
// What a document holds that cannot be a time or a day goes to `log_text` (when given),
// prefixed with the document's note ID.
using StatusLogFn = void (*)(unsigned long status);
using TextLogFn = void (*)(const std::string& text);
[[nodiscard]] unsigned short ReadSchedule(const char* path, Schedule& schedule,
                                          StatusLogFn log_status, TextLogFn log_text = nullptr);

}  // namespace vtrunner
