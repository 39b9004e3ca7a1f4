// schedule.cpp - reading the schedule document and the once-a-minute decision.
#include "vtrunner/schedule.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/notes/notes.h"

namespace vtrunner {
namespace {

bool FirstLetterIs(const std::string& text, char letter) {
  return !text.empty() && std::toupper(static_cast<unsigned char>(text[0])) == letter;
}

// The number at the start of the text as the C runtime reads it (0 for none); values beyond
// an int are held at its limits instead of overflowing.
int LeadingNumber(const std::string& text) {
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The weekday an entry of "rdWeekDays" names: Monday to Saturday by their form names; every
// other entry is Sunday. "Thu" counts as Thursday beside the form's own "Thr".
int WeekdayOf(const std::string& entry) {
  static const struct {
    const char* name;
    int day;
  } kDays[] = {{"Mon", 1}, {"Tue", 2}, {"wed", 3}, {"Thr", 4}, {"Thu", 4}, {"fri", 5}, {"sat", 6}};
  for (const auto& day : kDays) {
    if (_stricmp(entry.c_str(), day.name) == 0) return day.day;
  }
  return 0;
}

// The whole text as a number from low to high (blanks around it allowed); false for
// anything else.
bool WholeNumber(const std::string& text, int low, int high, int* value_r) {
  std::size_t start = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t");
  if (start == std::string::npos || end - start > 3) return false;
  int value = 0;
  for (std::size_t i = start; i <= end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value < low || value > high) return false;
  *value_r = value;
  return true;
}

bool IsDayName(const std::string& entry) {
  return WeekdayOf(entry) != 0 || _stricmp(entry.c_str(), "Sun") == 0;
}

std::string ItemText(NOTEHANDLE note, const char* name) {
  char buffer[kItemTextBytes];
  WORD length = NSFItemGetText(note, name, buffer, sizeof buffer);
  return std::string(buffer, length);
}

struct SearchContext {
  DBHANDLE db = NULLHANDLE;
  Schedule* schedule = nullptr;
  StatusLogFn log_status = nullptr;
  TextLogFn log_text = nullptr;
};

STATUS ReadOneDocument(void* context_pointer, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto* context = static_cast<SearchContext*>(context_pointer);
  if (!match || (match->SERetFlags & SE_FMATCH) == 0) return NOERROR;
  NOTEHANDLE note = NULLHANDLE;
  if (STATUS status = NSFNoteOpen(context->db, match->ID.NoteID, 0, &note)) {
    context->log_status(status);
    return NOERROR;  // the next document may still be readable
  }
  ScheduleItems items;
  items.start_up = ItemText(note, "StartUP");
  items.option = ItemText(note, "Option");
  items.period = ItemText(note, "rdPeriod");
  items.month_day = ItemText(note, "rdMonth");
  items.session = ItemText(note, "Session");
  items.hour = ItemText(note, "Hour");
  items.minutes = ItemText(note, "Minutes");
  WORD entries = NSFItemGetTextListEntries(note, "rdWeekDays");
  for (WORD i = 0; i < entries; ++i) {
    char entry[kItemTextBytes];
    WORD length = NSFItemGetTextListEntry(note, "rdWeekDays", i, entry, sizeof entry);
    items.weekdays.emplace_back(entry, length);
  }
  if (entries == 0) {
    std::string single = ItemText(note, "rdWeekDays");
    if (!single.empty()) items.weekdays.push_back(single);
  }
  (void)NSFNoteClose(note);
  for (const std::string& problem : ApplyScheduleItems(items, *context->schedule)) {
    if (context->log_text == nullptr) continue;
    char where[64];
    std::snprintf(where, sizeof where, "Schedule document %lX: ",
                  static_cast<unsigned long>(match->ID.NoteID));
    context->log_text(where + problem);
  }
  return NOERROR;
}

}  // namespace

std::vector<std::string> ApplyScheduleItems(const ScheduleItems& items, Schedule& schedule) {
  std::vector<std::string> problems;
  auto quoted = [](const char* item, const std::string& value) {
    return std::string(item) + " \"" + value + "\"";
  };
  schedule.read = true;
  schedule.run_at_start = FirstLetterIs(items.start_up, 'Y');
  schedule.enabled = FirstLetterIs(items.option, 'E');
  if (_stricmp(items.period.c_str(), "Monthly") == 0) {
    schedule.period = Period::kMonthly;
    schedule.month_day = items.month_day.empty() ? 1 : LeadingNumber(items.month_day);
  } else if (_stricmp(items.period.c_str(), "weekly") == 0) {
    schedule.period = Period::kWeekly;
    for (bool& day : schedule.weekdays) day = false;
    for (const std::string& entry : items.weekdays) {
      schedule.weekdays[WeekdayOf(entry)] = true;
      if (!IsDayName(entry)) problems.push_back(quoted("rdWeekDays", entry) + " is not a day: taken as Sunday");
    }
  } else {
    schedule.period = Period::kDaily;
  }
  // An empty "Hour" leaves the hour as it was; 12 pm stays 12 and the afternoon hours move
  // on by 12, so 11 pm is 23; a result of 24 is midnight.
  if (!items.hour.empty()) {
    int hour = LeadingNumber(items.hour);
    if (_stricmp(items.session.c_str(), "pm") == 0 && items.hour != "12" && hour <= INT_MAX - 12) {
      hour += 12;
    }
    schedule.hour = hour == 24 ? 0 : hour;
  }
  schedule.minute = items.minutes.empty() ? 0 : LeadingNumber(items.minutes);

  // A time or a day that cannot be one would start the scanner at a time nobody chose, or
  // never: such a schedule is said once and not run until it is corrected.
  int value = 0;
  bool runnable = true;
  const bool pm = _stricmp(items.session.c_str(), "pm") == 0;
  if (!items.hour.empty() && (!WholeNumber(items.hour, 0, pm ? 12 : 23, &value))) {
    problems.push_back(quoted("Hour", items.hour) + (pm ? " pm" : "") + " is not an hour");
    runnable = false;
  }
  if (!items.session.empty() && !pm && _stricmp(items.session.c_str(), "am") != 0)
    problems.push_back(quoted("Session", items.session) + " is neither am nor pm: taken as am");
  if (!items.minutes.empty() && !WholeNumber(items.minutes, 0, 59, &value)) {
    problems.push_back(quoted("Minutes", items.minutes) + " is not a minute");
    runnable = false;
  }
  if (schedule.period == Period::kMonthly && !items.month_day.empty() &&
      !WholeNumber(items.month_day, 1, 31, &value)) {
    problems.push_back(quoted("rdMonth", items.month_day) + " is not a day of the month");
    runnable = false;
  }
  if (!runnable && schedule.enabled) {
    schedule.enabled = false;
    problems.push_back("the scheduled scan is off until the schedule is corrected");
  }
  return problems;
}

bool DayMatches(const Schedule& schedule, const SYSTEMTIME& now) {
  if (!schedule.read) return false;
  switch (schedule.period) {
    case Period::kWeekly:
      return now.wDayOfWeek < 7 && schedule.weekdays[now.wDayOfWeek];
    case Period::kMonthly:
      return schedule.month_day == now.wDay;
    case Period::kDaily:
      return true;
  }
  return false;
}

bool IsDue(const Schedule& schedule, bool armed, const SYSTEMTIME& now) {
  return schedule.enabled && armed && DayMatches(schedule, now) && schedule.hour == now.wHour &&
         schedule.minute == now.wMinute;
}

unsigned short ReadSchedule(const char* path, Schedule& schedule, StatusLogFn log_status,
                            TextLogFn log_text) {
  DBHANDLE db = NULLHANDLE;
  if (STATUS status = NSFDbOpen(path, &db)) {
    log_status(status);
    return status;
  }
  const std::string formula_text = std::string("SELECT form = \"") + kScheduleForm + "\"";
  FORMULAHANDLE formula = NULLHANDLE;
  WORD formula_length = 0;
  STATUS compile_error = NOERROR;
  STATUS status = NSFFormulaCompile(
      nullptr, 0, formula_text.c_str(), static_cast<WORD>(formula_text.size()), &formula,
      &formula_length, &compile_error, nullptr, nullptr, nullptr, nullptr);
  if (status == NOERROR) {
    // The documents are read into a copy, so a search that fails half-way leaves the schedule
    // in force as it was.
    Schedule read = schedule;
    SearchContext context{db, &read, log_status, log_text};
    status = NSFSearch(db, formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, ReadOneDocument,
                       &context, nullptr);
    if (status == NOERROR) schedule = read;
    (void)OSMemFree(formula);
  }
  if (status != NOERROR) log_status(status);
  (void)NSFDbClose(db);
  return status;
}

}  // namespace vtrunner
