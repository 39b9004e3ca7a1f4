// time.cpp - the tick count, local and system time, file times and time pictures.
//
// No state: every call reads the clocks afresh.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/win32/files.h"
#include "platform/win32/internal.h"
#include "platform/win32/windows.h"

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000ULL;  // FILETIME counts 100 ns
constexpr std::uint64_t kEpochDifferenceSeconds = 11644473600ULL;

const char* const kMonthNames[12] = {"January", "February", "March",     "April",
                                     "May",     "June",     "July",      "August",
                                     "September", "October", "November", "December"};
const char* const kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

SYSTEMTIME FromTm(const struct tm& broken, long nanoseconds) {
  SYSTEMTIME time{};
  time.wYear = static_cast<WORD>(broken.tm_year + 1900);
  time.wMonth = static_cast<WORD>(broken.tm_mon + 1);
  time.wDayOfWeek = static_cast<WORD>(broken.tm_wday);
  time.wDay = static_cast<WORD>(broken.tm_mday);
  time.wHour = static_cast<WORD>(broken.tm_hour);
  time.wMinute = static_cast<WORD>(broken.tm_min);
  time.wSecond = static_cast<WORD>(broken.tm_sec);
  time.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
  return time;
}

std::uint64_t TicksOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FileTimeOfTicks(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

// Renders a date or time picture. Letters repeat to choose the form; text in single quotes is
// copied; anything else is copied as it stands.
std::string RenderPicture(const char* picture, const SYSTEMTIME& time) {
  std::string out;
  char number[16];
  for (const char* at = picture; *at != '\0';) {
    char letter = *at;
    if (letter == '\'') {
      ++at;
      while (*at != '\0' && *at != '\'') out += *at++;
      if (*at == '\'') ++at;
      continue;
    }
    int count = 0;
    while (at[count] == letter) ++count;
    switch (letter) {
      case 'd':
        if (count >= 4) {
          out += kDayNames[time.wDayOfWeek % 7];
        } else if (count == 3) {
          out.append(kDayNames[time.wDayOfWeek % 7], 3);
        } else {
          std::snprintf(number, sizeof number, count == 2 ? "%02u" : "%u", time.wDay);
          out += number;
        }
        break;
      case 'M': {
        unsigned month = (time.wMonth >= 1 && time.wMonth <= 12) ? time.wMonth : 1;
        if (count >= 4) {
          out += kMonthNames[month - 1];
        } else if (count == 3) {
          out.append(kMonthNames[month - 1], 3);
        } else {
          std::snprintf(number, sizeof number, count == 2 ? "%02u" : "%u", month);
          out += number;
        }
        break;
      }
      case 'y':
        if (count >= 3) {
          std::snprintf(number, sizeof number, "%04u", time.wYear);
        } else {
          std::snprintf(number, sizeof number, count == 2 ? "%02u" : "%u", time.wYear % 100u);
        }
        out += number;
        break;
      case 'H':
      case 'h': {
        unsigned hour = time.wHour;
        if (letter == 'h') hour = hour % 12 == 0 ? 12 : hour % 12;
        std::snprintf(number, sizeof number, count >= 2 ? "%02u" : "%u", hour);
        out += number;
        break;
      }
      case 'm':
        std::snprintf(number, sizeof number, count >= 2 ? "%02u" : "%u", time.wMinute);
        out += number;
        break;
      case 's':
        std::snprintf(number, sizeof number, count >= 2 ? "%02u" : "%u", time.wSecond);
        out += number;
        break;
      case 't':
        out += time.wHour < 12 ? (count >= 2 ? "AM" : "A") : (count >= 2 ? "PM" : "P");
        break;
      default:
        out.append(static_cast<std::size_t>(count), letter);
        break;
    }
    at += count;
  }
  return out;
}

int PictureOut(const char* picture, const char* fallback, const SYSTEMTIME* time, LPSTR buffer,
               int size) {
  SYSTEMTIME now{};
  if (time == nullptr) {
    GetLocalTime(&now);
    time = &now;
  }
  std::string text = RenderPicture(picture != nullptr ? picture : fallback, *time);
  int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (buffer == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return needed;
}

}  // namespace

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64() & 0xFFFFFFFFu); }

ULONGLONG GetTickCount64() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000ULL +
         static_cast<ULONGLONG>(now.tv_nsec) / 1000000ULL;
}

void GetLocalTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm broken {};
  ::localtime_r(&now.tv_sec, &broken);
  *time = FromTm(broken, now.tv_nsec);
}

void GetSystemTime(LPSYSTEMTIME time) {
  if (time == nullptr) return;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm broken {};
  ::gmtime_r(&now.tv_sec, &broken);
  *time = FromTm(broken, now.tv_nsec);
}

void GetSystemTimeAsFileTime(LPFILETIME time) {
  if (time == nullptr) return;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  *time = win32internal::FileTimeFromUnix(now.tv_sec, now.tv_nsec);
}

BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME time) {
  if (file_time == nullptr || time == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  std::uint64_t ticks = TicksOf(*file_time);
  if (ticks >= 0x8000000000000000ULL) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  auto seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond) -
                 static_cast<std::int64_t>(kEpochDifferenceSeconds);
  auto unix_seconds = static_cast<time_t>(seconds);
  struct tm broken {};
  if (::gmtime_r(&unix_seconds, &broken) == nullptr) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  *time = FromTm(broken, static_cast<long>((ticks % kTicksPerSecond) * 100));
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME file_time) {
  if (time == nullptr || file_time == nullptr) return win32internal::Fail(ERROR_INVALID_PARAMETER);
  if (time->wMonth < 1 || time->wMonth > 12 || time->wDay < 1 || time->wDay > 31 ||
      time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 ||
      time->wMilliseconds > 999 || time->wYear < 1601) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  struct tm broken {};
  broken.tm_year = time->wYear - 1900;
  broken.tm_mon = time->wMonth - 1;
  broken.tm_mday = time->wDay;
  broken.tm_hour = time->wHour;
  broken.tm_min = time->wMinute;
  broken.tm_sec = time->wSecond;
  time_t seconds = ::timegm(&broken);
  *file_time = win32internal::FileTimeFromUnix(seconds, time->wMilliseconds * 1000000L);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* file_time, LPFILETIME local_time) {
  if (file_time == nullptr || local_time == nullptr) {
    return win32internal::Fail(ERROR_INVALID_PARAMETER);
  }
  std::uint64_t ticks = TicksOf(*file_time);
  auto unix_seconds = static_cast<time_t>(static_cast<std::int64_t>(ticks / kTicksPerSecond) -
                                          static_cast<std::int64_t>(kEpochDifferenceSeconds));
  struct tm broken {};
  ::localtime_r(&unix_seconds, &broken);
  std::int64_t shifted = static_cast<std::int64_t>(ticks) +
                         static_cast<std::int64_t>(broken.tm_gmtoff) *
                             static_cast<std::int64_t>(kTicksPerSecond);
  *local_time = FileTimeOfTicks(static_cast<std::uint64_t>(shifted));
  return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
  std::uint64_t left = TicksOf(*a);
  std::uint64_t right = TicksOf(*b);
  return left < right ? -1 : left > right ? 1 : 0;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == INFINITE) {
    for (;;) ::pause();
  }
  struct timespec wait {};
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

BOOL SwitchToThread() {
  ::sched_yield();
  return TRUE;
}

int GetDateFormat(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR picture, LPSTR buffer,
                  int size) {
  return PictureOut(picture, "dd/MM/yyyy", time, buffer, size);
}

int GetTimeFormat(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR picture, LPSTR buffer,
                  int size) {
  return PictureOut(picture, "HH:mm:ss", time, buffer, size);
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
