#include "serialize/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace norvessa {
namespace {

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(EncodeBase64(plain), encoded) << plain;
    EXPECT_EQ(DecodeBase64(encoded), plain) << encoded;
  }
}

TEST(Base64Test, AllByteValuesRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  const std::string encoded = EncodeBase64(bytes);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(DecodeBase64(encoded), bytes);
}

// Only the one form EncodeBase64 writes is read; any other text gives
// nothing rather than some bytes.
TEST(Base64Test, DecodesOnlyCanonicalText) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;
  };
  const Case kCases[] = {
      // Valid.
      {"", ""},
      {"Zm9vYmFy", "foobar"},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"AAAA", std::string(3, '\0')},
      {"w6fkuK3wn5iA", "\xC3\xA7\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      // Characters outside the alphabet.
      {"Zm9v\r\nYmFy", std::nullopt},
      {"Zm9v\nYmFy", std::nullopt},
      {" Zm9vYmF", std::nullopt},
      {"Zm9vYmF ", std::nullopt},
      {"Zm 9vYmF", std::nullopt},
      {"Zm9\tYmFy", std::nullopt},
      {"Zm9-", std::nullopt},
      {"Zm9_", std::nullopt},
      {"Zm9*", std::nullopt},
      {std::string("Zm9\0", 4), std::nullopt},
      {"\xC3\xA7\xC3\xA7", std::nullopt},
      {"\xE4\xB8\xAD"
       "a",
       std::nullopt},
      {"\xF0\x9F\x98\x80", std::nullopt},
      // A length that is not a multiple of 4.
      {"Z", std::nullopt},
      {"Zm9", std::nullopt},
      {"Zm9vY", std::nullopt},
      {"Zg=", std::nullopt},
      {"Zm9vYg", std::nullopt},
      // "=" misplaced or too many.
      {"=", std::nullopt},
      {"====", std::nullopt},
      {"Z===", std::nullopt},
      {"Zm=v", std::nullopt},
      {"=Zm9", std::nullopt},
      {"Zg==Zg==", std::nullopt},
      {"Zm9v====", std::nullopt},
      // Unused bits before the padding that are not zero.
      {"Zh==", std::nullopt},
      {"Zm9=", std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeBase64(c.text), c.bytes);
  }
}

}  // namespace
}  // namespace norvessa
