#include "text/date_time.h"

#include <cmath>
#include <ctime>
#include <stdexcept>

namespace norvessa {
namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(y + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

// 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t kEpochOffsetDays = -25569;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) {
    return false;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= last;
}

DateTime DateTime::FromParts(int year, int month, int day, int hour, int minute,
                             int second, int millisecond) {
  if (!IsValidDate(year, month, day) || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999) {
    throw std::invalid_argument("invalid date or time");
  }
  const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month),
                                          static_cast<unsigned>(day)) -
                            kEpochOffsetDays;
  return FromMilliseconds(days * kMsPerDay +
                          ((hour * 60LL + minute) * 60 + second) * 1000 +
                          millisecond);
}

std::optional<DateTime> DateTime::TryFromDayNumber(double days) {
  // 0001-01-01 and the end of 9999-12-31, counted from 1899-12-30.
  constexpr double kFirst = -693593;
  constexpr double kEnd = 2958466;
  if (!(days >= kFirst && days < kEnd)) return std::nullopt;
  return FromMilliseconds(
      static_cast<std::int64_t>(std::llround(days * kMsPerDay)));
}

DateTime DateTime::FromDayNumber(double days) {
  if (const auto d = TryFromDayNumber(days)) return *d;
  throw std::invalid_argument("Day number out of range");
}

void LocalTime(std::time_t seconds, std::tm& out) {
  // glibc's localtime_r takes a process-wide lock on every call; the
  // broken-down time of one second is the same for every call within it.
  thread_local std::time_t cached_seconds = -1;
  thread_local std::tm cached{};
  if (seconds != cached_seconds) {
    localtime_r(&seconds, &cached);
    cached_seconds = seconds;
  }
  out = cached;
}

DateTime DateTime::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  LocalTime(ts.tv_sec, local);
  return FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour, local.tm_min,
                   local.tm_sec > 59 ? 59 : local.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1'000'000));
}

DateTime DateTime::DatePart() const {
  return FromMilliseconds(FloorDiv(ms_, kMsPerDay) * kMsPerDay);
}

DateTime DateTime::TimePart() const {
  return FromMilliseconds(ms_ - FloorDiv(ms_, kMsPerDay) * kMsPerDay);
}

DateTime::Parts DateTime::Split() const {
  const std::int64_t days = FloorDiv(ms_, kMsPerDay);
  std::int64_t rest = ms_ - days * kMsPerDay;
  Parts p{};
  CivilFromDays(days + kEpochOffsetDays, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.second = static_cast<int>(rest % 60);
  rest /= 60;
  p.minute = static_cast<int>(rest % 60);
  p.hour = static_cast<int>(rest / 60);
  return p;
}

}  // namespace norvessa
