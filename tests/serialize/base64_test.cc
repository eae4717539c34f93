#include "serialize/base64.h"

#include <gtest/gtest.h>

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

TEST(Base64Test, DecodingSkipsCharactersOutsideTheAlphabet) {
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(DecodeBase64(" Zm 9v*Yg== ignored"), "foob");
  EXPECT_EQ(DecodeBase64("!!!"), "");
}

}  // namespace
}  // namespace norvessa
