#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_DRIVER_SUPPORT_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_DRIVER_SUPPORT_H_

// Small helpers the driver's parts share.

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {

Call Named(std::string function, long attribute = 0, long long value = 0);

long long IntegerOf(SQLPOINTER value);

std::string_view Trim(std::string_view s);

std::string TextOf(const SQLCHAR* text, SQLLEN length);

// Copies `text` and its terminator into `out` as far as `capacity` allows;
// true when it had to cut.
bool CopyOut(std::string_view text, void* out, SQLLEN capacity);

// Narrow text the application sends, as the server receives it (UTF-8).
std::u32string NarrowIn(const Connection& c, std::string_view bytes);

// Server text (UTF-8) as the application reads it through SQL_C_CHAR.
std::string NarrowOut(const Connection& c, std::string_view utf8);

// The shortest text that reads back as `v`.
std::string ToText(double v);

// The bytes a fixed-size C type takes; 0 for the others (text, binary) and
// for those the driver does not know.
std::size_t FixedSize(SQLSMALLINT c_type);

// What SQLGetInfo(SQL_GETDATA_EXTENSIONS) answers for the personality.
SQLUINTEGER GetDataExtensions(Personality personality);

// A fixed-size C value from its raw bytes.
template <typename T>
T Load(const std::string& bytes) {
  T v{};
  std::memcpy(&v, bytes.data(), std::min(bytes.size(), sizeof v));
  return v;
}

// The value of an environment variable; "" when it is not set.
std::string FromEnvironment(const char* name);

}  // namespace norvessa::testing::scripted

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_DRIVER_SUPPORT_H_
