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

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace norvessa::testing::scripted
