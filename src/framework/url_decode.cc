#include "framework/url_decode.h"

#include "text/utf8.h"

namespace norvessa {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      bytes.push_back(' ');
      continue;
    }
    if (c != '%') {
      bytes.push_back(c);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '%') {
      bytes.push_back('%');
      ++i;
      continue;
    }
    if (i + 2 >= text.size()) {
      throw UrlDecodeError(
          "Error decoding URL style (%XX) encoded string at position " +
          std::to_string(i));
    }
    const int hi = HexValue(text[i + 1]);
    const int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) {
      throw UrlDecodeError("Invalid URL encoded character (" +
                           std::string(text.substr(i + 1, 2)) +
                           ") at position " + std::to_string(i));
    }
    bytes.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return SanitizeUtf8(bytes);
}

std::string DecodePathLenient(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        bytes.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    bytes.push_back(text[i]);
  }
  return SanitizeUtf8(bytes);
}

}  // namespace norvessa
