// The text SQL Server's drivers give for each column type, as field values.

#include "db/odbc/driver_text.h"

#include <gtest/gtest.h>

#include "db/driver_error.h"

namespace norvessa {
namespace {

TEST(DriverTextTest, DocumentedOutputForms) {
  const auto at = [](int y, int mo, int d, int h = 0, int mi = 0, int s = 0,
                     int ms = 0) {
    return FieldValue(DateTime::FromParts(y, mo, d, h, mi, s, ms));
  };
  const auto clock = [](int h, int mi, int s, int ms) {
    return FieldValue(
        DateTime::FromMilliseconds(((h * 60LL + mi) * 60 + s) * 1000 + ms));
  };
  struct Case {
    FieldType type;
    const char* text;
    FieldValue value;
  };
  const Case cases[] = {
      {FieldType::kInteger, "-2147483648", std::int64_t{-2147483648LL}},
      {FieldType::kLargeint, "9223372036854775807",
       std::int64_t{9223372036854775807LL}},
      // decimal, numeric and money: Microsoft's driver leaves out the zero
      // before the point.
      {FieldType::kFMTBcd, "12.3400", 12.34},
      {FieldType::kFMTBcd, ".5000", 0.5},
      {FieldType::kFMTBcd, "-.5000", -0.5},
      {FieldType::kFMTBcd, "0.5000", 0.5},
      {FieldType::kFloat, "1.5E+10", 1.5e10},
      {FieldType::kFloat, "1.5e+010", 1.5e10},
      {FieldType::kFloat, "-2.5", -2.5},
      {FieldType::kBoolean, "1", true},
      {FieldType::kBoolean, "0", false},
      {FieldType::kDate, "2024-03-05", at(2024, 3, 5)},
      {FieldType::kTime, "14:05:09", clock(14, 5, 9, 0)},
      {FieldType::kTime, "14:05:09.1234567", clock(14, 5, 9, 123)},
      // datetime, smalldatetime, datetime2(7)
      {FieldType::kTimeStamp, "2024-03-05 14:05:09.997",
       at(2024, 3, 5, 14, 5, 9, 997)},
      {FieldType::kTimeStamp, "2024-03-05 14:05:00", at(2024, 3, 5, 14, 5)},
      {FieldType::kTimeStamp, "2024-03-05 14:05:09.9999999",
       at(2024, 3, 5, 14, 5, 9, 999)},
      // datetimeoffset: the clock time as written, the offset dropped.
      {FieldType::kTimeStamp, "2024-03-05 14:05:09.1234567 -03:00",
       at(2024, 3, 5, 14, 5, 9, 123)},
      {FieldType::kTimeStamp, "2024-12-31 23:59:59 +05:30",
       at(2024, 12, 31, 23, 59, 59)},
      {FieldType::kTimeStamp, "2024-03-05 14:05:09.5+14:00",
       at(2024, 3, 5, 14, 5, 9, 500)},
      {FieldType::kString, " São Paulo ", std::string(" São Paulo ")},
      {FieldType::kGuid, "6F9619FF-8B86-D011-B42D-00C04FC964FF",
       std::string("6F9619FF-8B86-D011-B42D-00C04FC964FF")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FieldValueFromDriverText(c.type, c.text, "C"), c.value);
  }
}

TEST(DriverTextTest, TextOfTheWrongFormNamesItsColumn) {
  struct Case {
    FieldType type;
    const char* text;
  };
  const Case cases[] = {
      {FieldType::kInteger, "12.5"},
      {FieldType::kFMTBcd, "1.234,5.6"},
      {FieldType::kBoolean, "2"},
      {FieldType::kDate, "05/03/2024"},
      {FieldType::kTime, "25:00:00"},
      {FieldType::kTimeStamp, "2024-02-30 10:00:00"},
      {FieldType::kTimeStamp, "2024-03-05 14:05:09 -03"},
      {FieldType::kTimeStamp, "2024-03-05 14:05:09.1234567890"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      FieldValueFromDriverText(c.type, c.text, "DtEmissao");
      ADD_FAILURE();
    } catch (const DriverError& e) {
      EXPECT_NE(std::string(e.what()).find("in column DtEmissao"),
                std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace norvessa
