#include "text/utf8.h"

#include <cstdint>

namespace norvessa {
namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

char32_t NextCodePoint(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = 0;
  char32_t cp = 0;
  // Bounds of the second byte per lead byte exclude overlong forms,
  // surrogates and values beyond U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  std::size_t i = pos + 1;
  for (int k = 1; k < length; ++k, ++i) {
    if (i >= text.size()) {
      pos = i;
      return kReplacementCharacter;
    }
    const auto c = static_cast<unsigned char>(text[i]);
    const bool in_range = k == 1 ? (c >= low && c <= high) : IsContinuation(c);
    if (!in_range) {
      pos = i;
      return kReplacementCharacter;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  pos = i;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    cp = kReplacementCharacter;
  }
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsValidUtf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    const char32_t cp = NextCodePoint(text, pos);
    if (cp == kReplacementCharacter) {
      // A genuine U+FFFD is three bytes EF BF BD.
      if (pos - start != 3 || text.substr(start, 3) != "\xEF\xBF\xBD") {
        return false;
      }
    }
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t cp = NextCodePoint(text, pos);
    if (cp == kReplacementCharacter) {
      AppendUtf8(out, cp);
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

}  // namespace norvessa
