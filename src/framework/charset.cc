#include "framework/charset.h"

#include <array>

#include "text/ascii.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

// Windows-1252 bytes 0x80..0x9F; the five unassigned bytes map to the C1
// control of the same value, as Windows does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char32_t FromCp1252(unsigned char b) {
  if (b >= 0x80 && b <= 0x9F) return kCp1252High[b - 0x80];
  return b;
}

int ToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (std::size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] == cp) return static_cast<int>(0x80 + i);
  }
  return -1;
}

}  // namespace

Charset CharsetFromContentType(std::string_view content_type) {
  const std::string upper = AsciiUpper(content_type);
  if (upper.find("CHARSET") == std::string::npos) return Charset::kUtf8;
  if (upper.find("UTF-8") != std::string::npos) return Charset::kUtf8;
  if (upper.find("ISO-8859-1") != std::string::npos ||
      upper.find("ANSI") != std::string::npos) {
    return Charset::kWindows1252;
  }
  if (upper.find("ASCII") != std::string::npos) return Charset::kAscii;
  return Charset::kUtf8;
}

std::string DecodeText(std::string_view bytes, Charset charset) {
  switch (charset) {
    case Charset::kUtf8:
      return SanitizeUtf8(bytes);
    case Charset::kWindows1252: {
      std::string out;
      out.reserve(bytes.size() + bytes.size() / 4);
      for (char c : bytes) {
        AppendUtf8(out, FromCp1252(static_cast<unsigned char>(c)));
      }
      return out;
    }
    case Charset::kAscii: {
      std::string out(bytes);
      for (char& c : out) {
        if (static_cast<unsigned char>(c) > 127) c = '?';
      }
      return out;
    }
  }
  return std::string(bytes);
}

std::string EncodeText(std::string_view utf8, Charset charset) {
  if (charset == Charset::kUtf8) return std::string(utf8);
  std::string out;
  out.reserve(utf8.size());
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = NextCodePoint(utf8, pos);
    const int b = charset == Charset::kAscii
                      ? (cp < 0x80 ? static_cast<int>(cp) : -1)
                      : ToCp1252(cp);
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
  }
  return out;
}

}  // namespace norvessa
