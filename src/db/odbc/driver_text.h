#ifndef NORVESSA_DB_ODBC_DRIVER_TEXT_H_
#define NORVESSA_DB_ODBC_DRIVER_TEXT_H_

#include <string_view>

#include "serialize/field.h"
#include "serialize/field_type.h"

namespace norvessa {

// The value of a column that the driver gave as text, as the field of
// `type` holds it. The forms are those SQL Server's drivers write:
// - numbers: "12", "-7", "12.3400", ".5000", "-.5", "1.5E+10", "1.5e+010";
// - bit: "1", "0";
// - date "2024-03-05"; time "14:05:09[.1234567]"; datetime, datetime2 and
//   smalldatetime "2024-03-05 14:05:09[.fffffff]"; datetimeoffset the same
//   followed by " -03:00". Digits past the millisecond are cut, and an
//   offset is dropped, keeping the clock time as written, as SQL Server's
//   own conversion of datetimeoffset to datetime does;
// - anything else is text, kept byte for byte.
// Throws DriverError naming `column` when the text is not of the type's form.
FieldValue FieldValueFromDriverText(FieldType type, std::string_view text,
                                    std::string_view column);

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_DRIVER_TEXT_H_
