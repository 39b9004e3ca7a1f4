// schedule_test.cpp - the schedule document's items and the once-a-minute decision.
#include "vtrunner/schedule.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/notes/notes_test_support.h"

namespace vtrunner {
namespace {

SYSTEMTIME At(int day_of_week, int day, int hour, int minute) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDayOfWeek = static_cast<WORD>(day_of_week);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  return time;
}

Schedule From(const ScheduleItems& items) {
  Schedule schedule;
  ApplyScheduleItems(items, schedule);
  return schedule;
}

TEST(ScheduleItems, HourFromSessionAndHour) {
  struct Case {
    const char* session;
    const char* hour;
    int expected;
  } cases[] = {
      {"pm", "12", 12},
      {"pm", "11", 23},
      {"am", "12", 12},
      {"AM", "7", 7},
      {"PM", "1", 13},
      {"pm", "0", 12},
      {"", "5", 5},
      {"evening", "5", 5},
      // Nonsense: text reads as 0, a number is read up to what follows it, "12 " is not
      // exactly "12" (so 24, which is midnight), a huge number is held at the int's limit.
      {"am", "abc", 0},
      {"pm", "3 o'clock", 15},
      {"pm", "12 ", 0},
      {"pm", "99999999999", INT_MAX},
      {"am", "-4", -4},
  };
  for (const Case& c : cases) {
    ScheduleItems items;
    items.session = c.session;
    items.hour = c.hour;
    EXPECT_EQ(From(items).hour, c.expected) << c.session << " " << c.hour;
  }
  // An empty Hour leaves the hour of the schedule read before.
  Schedule schedule;
  ApplyScheduleItems(ScheduleItems{.session = "pm", .hour = "3"}, schedule);
  ApplyScheduleItems(ScheduleItems{.session = "am", .hour = ""}, schedule);
  EXPECT_EQ(schedule.hour, 15);
}

TEST(ScheduleItems, FlagsPeriodsDaysAndMinutes) {
  EXPECT_TRUE(From({.start_up = "yes", .option = "enable"}).run_at_start);
  EXPECT_TRUE(From({.start_up = "yes", .option = "enable"}).enabled);
  EXPECT_FALSE(From({.start_up = "No", .option = "Disable"}).enabled);
  EXPECT_FALSE(From({.start_up = "", .option = ""}).run_at_start);
  EXPECT_FALSE(From({.option = " Enable"}).enabled);  // only the first character counts

  EXPECT_EQ(From({.period = "MONTHLY"}).period, Period::kMonthly);
  EXPECT_EQ(From({.period = "Weekly"}).period, Period::kWeekly);
  EXPECT_EQ(From({.period = "yearly"}).period, Period::kDaily);
  EXPECT_EQ(From({.period = "Monthly", .month_day = ""}).month_day, 1);
  EXPECT_EQ(From({.period = "Monthly", .month_day = "15"}).month_day, 15);
  EXPECT_EQ(From({.period = "Monthly", .month_day = "x"}).month_day, 0);
  EXPECT_EQ(From({.minutes = ""}).minute, 0);
  EXPECT_EQ(From({.minutes = "45"}).minute, 45);

  struct Day {
    const char* entry;
    int weekday;
  } days[] = {{"Mon", 1}, {"TUE", 2}, {"wed", 3},    {"Thr", 4}, {"thu", 4},   {"Fri", 5},
              {"sat", 6}, {"Sun", 0}, {"Funday", 0}, {"", 0},    {"Monday", 0}};
  for (const Day& day : days) {
    Schedule schedule = From({.period = "weekly", .weekdays = {day.entry}});
    for (int d = 0; d < 7; ++d) {
      EXPECT_EQ(schedule.weekdays[d], d == day.weekday) << day.entry << " on day " << d;
    }
  }
  // A weekly document clears the days of the one before.
  Schedule schedule;
  ApplyScheduleItems({.period = "weekly", .weekdays = {"Mon", "fri"}}, schedule);
  ApplyScheduleItems({.period = "weekly", .weekdays = {"sat"}}, schedule);
  EXPECT_FALSE(schedule.weekdays[1]);
  EXPECT_FALSE(schedule.weekdays[5]);
  EXPECT_TRUE(schedule.weekdays[6]);
}

TEST(ScheduleDecision, DueOnlyWhenEnabledArmedAndTheDayHourAndMinuteAreNow) {
  const Schedule daily =
      From({.option = "Enable", .period = "Daily", .session = "pm", .hour = "11", .minutes = "30"});
  const Schedule weekly = From({.option = "Enable",
                                .period = "weekly",
                                .weekdays = {"Mon", "wed"},
                                .hour = "2",
                                .minutes = "0"});
  const Schedule monthly = From(
      {.option = "Enable", .period = "Monthly", .month_day = "6", .hour = "2", .minutes = "0"});
  const Schedule off = From({.option = "Disable", .period = "Daily", .hour = "2"});
  const Schedule nonsense =
      From({.option = "Enable", .period = "Daily", .hour = "25", .minutes = "99"});
  const Schedule never_read;
  struct Case {
    const char* name;
    const Schedule& schedule;
    bool armed;
    SYSTEMTIME now;
    bool due;
  } cases[] = {
      {"daily at 23:30", daily, true, At(2, 8, 23, 30), true},
      {"daily not armed", daily, false, At(2, 8, 23, 30), false},
      {"daily a minute late", daily, true, At(2, 8, 23, 31), false},
      {"daily at 11:30 am", daily, true, At(2, 8, 11, 30), false},
      {"weekly on Monday", weekly, true, At(1, 7, 2, 0), true},
      {"weekly on Wednesday", weekly, true, At(3, 9, 2, 0), true},
      {"weekly on Tuesday", weekly, true, At(2, 8, 2, 0), false},
      {"monthly on the 6th", monthly, true, At(0, 6, 2, 0), true},
      {"monthly on the 7th", monthly, true, At(1, 7, 2, 0), false},
      {"switched off", off, true, At(2, 8, 2, 0), false},
      {"hour 25 minute 99", nonsense, true, At(2, 8, 1, 39), false},
      {"no schedule read", never_read, true, At(0, 1, 0, 0), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsDue(c.schedule, c.armed, c.now), c.due) << c.name;
  EXPECT_FALSE(DayMatches(never_read, At(0, 1, 0, 0)));
}

// What cannot be a time or a day is said, and a time that cannot be one keeps the
// scheduled scan off rather than starting it at a time nobody chose.
TEST(ScheduleItems, NonsenseIsSaidAndAWrongTimeIsNotRun) {
  struct Case {
    ScheduleItems items;
    const char* said;  // the start of the first problem, or null for none
    bool enabled;
  } cases[] = {
      {{.option = "Enable", .session = "pm", .hour = "abc"}, "Hour \"abc\" pm is not an hour",
       false},
      {{.option = "Enable", .hour = "25"}, "Hour \"25\" is not an hour", false},
      {{.option = "Enable", .session = "pm", .hour = "13"}, "Hour \"13\" pm", false},
      {{.option = "Enable", .hour = "5", .minutes = "-5"}, "Minutes \"-5\" is not a minute",
       false},
      {{.option = "Enable", .period = "Monthly", .month_day = "32"}, "rdMonth \"32\"", false},
      {{.option = "Enable", .period = "weekly", .weekdays = {"Mon", "Funday"}},
       "rdWeekDays \"Funday\" is not a day", true},
      {{.option = "Enable", .session = "evening", .hour = "5"}, "Session \"evening\"", true},
      {{.option = "Enable", .session = "pm", .hour = "12", .minutes = "59"}, nullptr, true},
      {{.option = "Enable", .period = "weekly", .weekdays = {"Sun", "sat"}, .hour = "0"}, nullptr,
       true},
  };
  for (const Case& c : cases) {
    Schedule schedule;
    const std::vector<std::string> problems = ApplyScheduleItems(c.items, schedule);
    if (c.said == nullptr) {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
      ASSERT_FALSE(problems.empty()) << c.said;
      EXPECT_EQ(problems.front().rfind(c.said, 0), 0u) << problems.front();
    }
    EXPECT_EQ(schedule.enabled, c.enabled) << (c.said ? c.said : "valid");
  }
}

class ReadScheduleTest : public NotesRootTest {
 protected:
  void AddDocument(DBHANDLE db, const char* form,
                   std::vector<std::pair<const char*, const char*>> texts,
                   std::vector<const char*> weekdays = {}) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    ASSERT_EQ(NSFItemSetText(note, "Form", form, MAXWORD), NOERROR);
    for (auto [name, value] : texts) ASSERT_EQ(NSFItemSetText(note, name, value, MAXWORD), NOERROR);
    for (const char* day : weekdays) {
      ASSERT_EQ(NSFItemAppendTextList(note, "rdWeekDays", day, MAXWORD, TRUE), NOERROR);
    }
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
  }
  static void CountStatus(unsigned long status) {
    if (status != 0) ++logged;
  }
  static inline int logged = 0;
  static void Say(const std::string& text) { said.push_back(text); }
  static inline std::vector<std::string> said;
};

TEST_F(ReadScheduleTest, TheLastScheduleDocumentWinsAndAFailureKeepsTheSchedule) {
  DBHANDLE db = CreateOpen(kScheduleDatabase);
  AddDocument(db, "Scheduledfrm", {{"Option", "Enable"}, {"rdPeriod", "Daily"}, {"Hour", "1"}});
  AddDocument(db, "Mannualfrm", {{"Option", "Disable"}, {"Hour", "9"}});
  AddDocument(db, "Scheduledfrm",
              {{"Option", "Enable"},
               {"StartUP", "Yes"},
               {"rdPeriod", "weekly"},
               {"Session", "pm"},
               {"Hour", "4"},
               {"Minutes", "15"}},
              {"Tue", "sat"});
  ASSERT_EQ(NSFDbClose(db), NOERROR);

  Schedule schedule;
  logged = 0;
  ASSERT_EQ(ReadSchedule(kScheduleDatabase, schedule, CountStatus), 0);
  EXPECT_TRUE(schedule.read);
  EXPECT_TRUE(schedule.enabled);
  EXPECT_TRUE(schedule.run_at_start);
  EXPECT_EQ(schedule.period, Period::kWeekly);
  EXPECT_EQ(schedule.hour, 16);
  EXPECT_EQ(schedule.minute, 15);
  EXPECT_TRUE(schedule.weekdays[2]);
  EXPECT_TRUE(schedule.weekdays[6]);
  EXPECT_FALSE(schedule.weekdays[0]);
  EXPECT_EQ(logged, 0);

  // Nonsense in a document is said once, with the document it came from.
  db = NULLHANDLE;
  ASSERT_EQ(NSFDbOpen(kScheduleDatabase, &db), NOERROR);
  AddDocument(db, "Scheduledfrm", {{"Option", "Enable"}, {"Session", "pm"}, {"Hour", "abc"}});
  ASSERT_EQ(NSFDbClose(db), NOERROR);
  said.clear();
  Schedule junk;
  ASSERT_EQ(ReadSchedule(kScheduleDatabase, junk, CountStatus, Say), 0);
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[0].rfind("Schedule document ", 0), 0u) << said[0];
  EXPECT_NE(said[0].find(": Hour \"abc\" pm is not an hour"), std::string::npos) << said[0];
  EXPECT_FALSE(junk.enabled);

  // A database that is not there: the status is logged and the schedule stays in force.
  EXPECT_NE(ReadSchedule("gone.nsf", schedule, CountStatus), 0);
  EXPECT_EQ(logged, 1);
  EXPECT_TRUE(schedule.enabled);
  EXPECT_EQ(schedule.hour, 16);
}

}  // namespace
}  // namespace vtrunner
