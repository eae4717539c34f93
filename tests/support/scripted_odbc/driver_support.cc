#include "support/scripted_odbc/driver_support.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/scripted_odbc/text_codec.h"

namespace norvessa::testing::scripted {

Call Named(std::string function, long attribute, long long value) {
  Call call;
  call.function = std::move(function);
  call.attribute = attribute;
  call.value = value;
  return call;
}

long long IntegerOf(SQLPOINTER value) {
  return static_cast<long long>(reinterpret_cast<std::intptr_t>(value));
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' ||
                        s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' ||
                        s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::string TextOf(const SQLCHAR* text, SQLLEN length) {
  if (text == nullptr) return {};
  const char* s = reinterpret_cast<const char*>(text);
  return length == SQL_NTS
             ? std::string(s)
             : std::string(
                   s, static_cast<std::size_t>(std::max<SQLLEN>(length, 0)));
}

bool CopyOut(std::string_view text, void* out, SQLLEN capacity) {
  if (out == nullptr) return false;
  if (capacity <= 0) return true;
  const std::size_t n =
      std::min(text.size(), static_cast<std::size_t>(capacity - 1));
  std::memcpy(out, text.data(), n);
  static_cast<char*>(out)[n] = '\0';
  return n < text.size();
}

std::u32string NarrowIn(const Connection& c, std::string_view bytes) {
  return c.personality == Personality::kFreeTds ? DecodeUtf8(bytes)
                                                : DecodeLocale(bytes);
}

std::string NarrowOut(const Connection& c, std::string_view utf8) {
  if (c.personality == Personality::kFreeTds) return std::string(utf8);
  return EncodeLocale(DecodeUtf8(utf8));
}

std::string ToText(double v) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, result.ptr);
}

std::size_t FixedSize(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
    case SQL_C_DOUBLE:
      return 8;
    case SQL_C_SLONG:
    case SQL_C_ULONG:
    case SQL_C_LONG:
    case SQL_C_FLOAT:
      return 4;
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
    case SQL_C_SHORT:
      return 2;
    case SQL_C_STINYINT:
    case SQL_C_UTINYINT:
    case SQL_C_TINYINT:
    case SQL_C_BIT:
      return 1;
    case SQL_C_TYPE_TIMESTAMP:
      return sizeof(SQL_TIMESTAMP_STRUCT);
    case SQL_C_TYPE_DATE:
      return sizeof(SQL_DATE_STRUCT);
    default:
      return 0;
  }
}

SQLUINTEGER GetDataExtensions(Personality personality) {
  // FreeTDS 1.3 answers SQL_GD_BLOCK alone, though its SQLGetData takes any
  // column in any order, bound or not; Microsoft's driver offers no
  // SQLGetData on a rowset of more than one row.
  return personality == Personality::kFreeTds
             ? SQL_GD_BLOCK
             : SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND;
}

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace norvessa::testing::scripted
