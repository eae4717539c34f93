#ifndef NORVESSA_TEXT_DATE_TIME_H_
#define NORVESSA_TEXT_DATE_TIME_H_

#include <compare>
#include <cstdint>
#include <ctime>
#include <optional>

namespace norvessa {

// localtime_r of `seconds`, worked out at most once a second per thread:
// glibc takes its time-zone lock on every call.
void LocalTime(std::time_t seconds, std::tm& out);

// A clock value without a time zone, in milliseconds from 1899-12-30
// 00:00:00.000, the zero point of the day numbers the dataset layer uses.
class DateTime {
 public:
  static constexpr std::int64_t kMsPerDay = 86'400'000;

  constexpr DateTime() = default;
  static constexpr DateTime FromMilliseconds(std::int64_t ms) {
    DateTime d;
    d.ms_ = ms;
    return d;
  }
  // Fails (std::invalid_argument) on a day or month out of range.
  static DateTime FromParts(int year, int month, int day, int hour = 0,
                            int minute = 0, int second = 0,
                            int millisecond = 0);
  // Day number with the time of day as the fraction. Fails
  // (std::invalid_argument) outside the years 1 to 9999.
  static DateTime FromDayNumber(double days);
  // The same, or nothing outside the years 1 to 9999.
  static std::optional<DateTime> TryFromDayNumber(double days);
  // The current local time of day (LocalTime).
  static DateTime Now();

  std::int64_t milliseconds() const { return ms_; }
  double DayNumber() const {
    return static_cast<double>(ms_) / static_cast<double>(kMsPerDay);
  }
  DateTime DatePart() const;
  DateTime TimePart() const;

  struct Parts {
    int year, month, day, hour, minute, second, millisecond;
  };
  Parts Split() const;

  friend constexpr auto operator<=>(DateTime, DateTime) = default;

 private:
  std::int64_t ms_ = 0;
};

bool IsValidDate(int year, int month, int day);

}  // namespace norvessa

#endif  // NORVESSA_TEXT_DATE_TIME_H_
