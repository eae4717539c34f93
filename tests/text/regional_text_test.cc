#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "text/date_text.h"
#include "text/date_time.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

TEST(RegionalTest, FormatFloatUsesTheGeneralFormat) {
  const std::pair<double, const char*> cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {12.34, "12.34"},
      {10, "10"},
      {5.5, "5.5"},
      {-2.5, "-2.5"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.333333333333333"},
      {123456789012345, "123456789012345"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1E15"},
      {1e20, "1E20"},
      {1.5e-7, "1.5E-7"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {0.0000099, "9.9E-6"},
      {-1234.5e100, "-1.2345E103"},
      {49.9, "49.9"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(FormatFloat(value), text) << value;
  }
}

TEST(RegionalTest, ParsesNumbersWithEitherSeparator) {
  const std::pair<const char*, std::optional<double>> floats[] = {
      {"1.5", 1.5}, {"1,5", 1.5},    {" 2 ", 2.0},  {"-0,25", -0.25},
      {"+3", 3.0},  {"1e3", 1000.0}, {"1.2.3", {}}, {"1.234,5", {}},
      {"", {}},     {"abc", {}},     {"inf", {}},   {"nan", {}},
      {"0x10", {}}, {"1,2,3", {}},   {"5 kg", {}},
  };
  for (const auto& [text, value] : floats) {
    EXPECT_EQ(TryParseFloat(text), value) << text;
  }
  const std::pair<const char*, std::optional<std::int64_t>> ints[] = {
      {"12", 12},
      {" -7 ", -7},
      {"+5", 5},
      {"1.5", {}},
      {"", {}},
      {"12a", {}},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", {}},
      {"--1", {}},
  };
  for (const auto& [text, value] : ints) {
    EXPECT_EQ(TryParseInteger(text), value) << text;
  }
  EXPECT_EQ(TryParseInteger("2147483648", INT32_MIN, INT32_MAX), std::nullopt);
}

TEST(RegionalTest, RoundsHalvesToEven) {
  EXPECT_EQ(RoundHalfEven(12.5), 12);
  EXPECT_EQ(RoundHalfEven(13.5), 14);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
  EXPECT_EQ(RoundHalfEven(2.6), 3);
}

std::string Show(std::optional<DateTime> d) {
  return d ? FormatDateTimePattern("yyyy-mm-dd hh:nn:ss.zzz", *d) : "none";
}

TEST(RegionalTest, ReadsRegionalAndIsoDates) {
  const std::pair<const char*, const char*> regional[] = {
      {"01/06/2021", "2021-06-01 00:00:00.000"},
      {"1/6/2021", "2021-06-01 00:00:00.000"},
      {"31/03/2024 23:59:59", "2024-03-31 23:59:59.000"},
      {"5/3/2024 14:05", "2024-03-05 14:05:00.000"},
      {"5/3/2024 14:05:09.123", "2024-03-05 14:05:09.123"},
      {"29/02/2024", "2024-02-29 00:00:00.000"},
      {"1/6/21", "2021-06-01 00:00:00.000"},
      {"14:30", "1899-12-30 14:30:00.000"},
      {"29/02/2023", "none"},
      {"32/01/2024", "none"},
      {"2024-03-05", "none"},
      {"01/13/2024", "none"},
      {"", "none"},
      {"5/3/2024 25:00", "none"},
  };
  for (const auto& [text, shown] : regional) {
    EXPECT_EQ(Show(TryParseRegionalDateTime(text)), shown) << text;
  }
  const std::pair<const char*, const char*> iso[] = {
      {"2024-03-05", "2024-03-05 00:00:00.000"},
      {"2024-03-05T14:05:09.123Z", "2024-03-05 14:05:09.123"},
      {"2024-03-05T14:05:09", "2024-03-05 14:05:09.000"},
      {"2024-03-05 14:05", "2024-03-05 14:05:00.000"},
      {"2024-03-05T01:00:00-03:00", "2024-03-05 04:00:00.000"},
      {"2024-03-05T01:00:00+0200", "2024-03-04 23:00:00.000"},
      {"2024-3-5", "none"},
      {"05/03/2024", "none"},
  };
  for (const auto& [text, shown] : iso) {
    EXPECT_EQ(Show(TryParseIso8601(text)), shown) << text;
  }
}

TEST(RegionalTest, WritesDatesInTheServicePatterns) {
  const DateTime d = DateTime::FromParts(2024, 3, 5, 14, 5, 9, 123);
  EXPECT_EQ(FormatDateTimePattern("YYYY-MM-DD", d), "2024-03-05");
  EXPECT_EQ(FormatDateTimePattern("hh:nn:ss.zzz", d), "14:05:09.123");
  EXPECT_EQ(FormatDateTimePattern("hh:mm", d), "14:05");
  EXPECT_EQ(FormatIsoTimestamp(d), "2024-03-05T14:05:09.123Z");
  EXPECT_EQ(FormatShortDate(d), "05/03/2024");
  EXPECT_EQ(FormatDateTimeText(d), "05/03/2024 14:05:09");
  EXPECT_EQ(FormatDateTimeText(d.DatePart()), "05/03/2024");
  EXPECT_EQ(FormatIsoTimestamp(DateTime()), "1899-12-30T00:00:00.000Z");
  EXPECT_DOUBLE_EQ(DateTime::FromParts(1900, 1, 1).DayNumber(), 2.0);
  EXPECT_DOUBLE_EQ(DateTime::FromParts(2024, 3, 5, 12).DayNumber(), 45356.5);
}

// Makes pt_BR.UTF-8 available even where the system has not generated it.
bool UseBrazilianLocale() {
  if (std::setlocale(LC_ALL, "pt_BR.UTF-8") != nullptr) return true;
  const auto dir = std::filesystem::temp_directory_path() / "norvessa-locales";
  std::filesystem::create_directories(dir);
  const std::string command = "localedef -i pt_BR -f UTF-8 '" +
                              (dir / "pt_BR.UTF-8").string() +
                              "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 &&
      !std::filesystem::exists(dir / "pt_BR.UTF-8")) {
    return false;
  }
  setenv("LOCPATH", dir.c_str(), 1);
  return std::setlocale(LC_ALL, "pt_BR.UTF-8") != nullptr;
}

TEST(RegionalTest, TheProcessLocaleChangesNoByte) {
  if (!UseBrazilianLocale()) GTEST_SKIP() << "pt_BR.UTF-8 not available";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  EXPECT_EQ(FormatFloat(12.34), "12.34");
  EXPECT_EQ(FormatFloat(1.5e-7), "1.5E-7");
  EXPECT_EQ(TryParseFloat("1.5"), 1.5);
  EXPECT_EQ(TryParseFloat("1,5"), 1.5);
  EXPECT_EQ(FormatInteger(-1234567), "-1234567");
  std::setlocale(LC_ALL, "C");
}

// The local time worked out once a second is the one localtime_r gives for
// every second asked, in any order, repeated or not.
TEST(RegionalTest, LocalTimeIsLocaltimeForEverySecond) {
  for (const std::time_t seconds :
       {std::time_t{1765450000}, std::time_t{1765450000},
        std::time_t{1765450001}, std::time_t{0}, std::time_t{1765450000},
        std::time_t{1798761599}}) {
    SCOPED_TRACE(seconds);
    std::tm expected{};
    localtime_r(&seconds, &expected);
    std::tm got{};
    LocalTime(seconds, got);
    EXPECT_EQ(std::mktime(&got), std::mktime(&expected));
    EXPECT_EQ(got.tm_hour, expected.tm_hour);
    EXPECT_EQ(got.tm_mday, expected.tm_mday);
  }
}

}  // namespace
}  // namespace norvessa
