#include "text/utf8.h"

#include <gtest/gtest.h>

namespace norvessa {
namespace {

TEST(Utf8Test, MalformedSequencesBecomeReplacementCharacters) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"valid text is unchanged", "caf\xC3\xA9 \xF0\x9F\x94\xA5",
       "caf\xC3\xA9 \xF0\x9F\x94\xA5"},
      {"a genuine U+FFFD stays", fffd, fffd},
      {"lone continuation byte", "a\x80z", "a" + fffd + "z"},
      {"truncated sequence keeps the next character", "\xC3z", fffd + "z"},
      {"overlong form", "\xC0\xAF", fffd + fffd},
      {"surrogate encoded in UTF-8", "\xED\xA0\x80", fffd + fffd + fffd},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"Latin-1 byte", "S\xE3o", "S" + fffd + "o"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SanitizeUtf8(c.in), c.out);
    EXPECT_EQ(IsValidUtf8(c.in), c.in == c.out);
  }
}

}  // namespace
}  // namespace norvessa
