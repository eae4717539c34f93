#include "support/scripted_odbc/text_codec.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cwchar>

namespace norvessa::testing::scripted {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252's characters at 0x80-0x9F; the rest of its upper half is
// Latin-1.
constexpr std::array<char32_t, 27> kWindows1252Extras = {
    0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030,
    0x0160, 0x2039, 0x0152, 0x017D, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

}  // namespace

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out += lead;
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    valid =
        valid && c >= minimum && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    if (valid) {
      out += c;
      i += length;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

std::string EncodeUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u32string DecodeUtf16(const std::uint16_t* units, std::size_t count) {
  std::u32string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      out += 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += kReplacement;
    } else {
      out += u;
    }
  }
  return out;
}

std::u16string EncodeUtf16(std::u32string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
  }
  return out;
}

bool InWindows1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return true;
  return std::find(kWindows1252Extras.begin(), kWindows1252Extras.end(), c) !=
         kWindows1252Extras.end();
}

std::u32string FitWindows1252(std::u32string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (InWindows1252(c)) {
      out += c;
    } else {
      // The server converts UTF-16 code units: a surrogate pair gives two.
      out.append(c > 0xFFFF ? 2 : 1, U'?');
    }
  }
  return out;
}

std::u32string DecodeLocale(std::string_view text) {
  std::u32string out;
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < text.size()) {
    wchar_t w = 0;
    const std::size_t n =
        std::mbrtowc(&w, text.data() + i, text.size() - i, &state);
    if (n == static_cast<std::size_t>(-1) ||
        n == static_cast<std::size_t>(-2)) {
      // Unreadable or cut short: one byte becomes '?' and reading resumes.
      out += U'?';
      state = std::mbstate_t{};
      ++i;
    } else {
      out += static_cast<char32_t>(w);
      i += n == 0 ? 1 : n;
    }
  }
  return out;
}

std::string EncodeLocale(std::u32string_view text) {
  std::string out;
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (char32_t c : text) {
    const std::size_t n = std::wcrtomb(buffer, static_cast<wchar_t>(c), &state);
    if (n == static_cast<std::size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
    } else {
      out.append(buffer, n);
    }
  }
  return out;
}

bool ContainsIgnoringAsciiCase(std::string_view text, std::string_view part) {
  if (part.empty()) return true;
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [](char a, char b) {
                       return AsciiLower(a) == AsciiLower(b);
                     }) != text.end();
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ContainsIgnoringAsciiCase(a, b);
}

}  // namespace norvessa::testing::scripted
