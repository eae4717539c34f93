#include "framework/error_log.h"

#include <gtest/gtest.h>

#include <string>

namespace norvessa {
namespace {

std::size_t Lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

// While the database is away every request fails with one cause: stderr
// gets its first line, then one line with the count, not one per request.
TEST(ErrorLogTest, RepeatedCausesWithinASecondBecomeOneLineWithACount) {
  FlushLoggedCauses();
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 1000; ++i) {
    LogCause("POST", "/cidades", "Database unreachable");
  }
  LogCause("GET", "/usuarios", "no such table: Usuario");
  FlushLoggedCauses();
  const std::string text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(text,
            "POST /cidades: Database unreachable\n"
            "GET /usuarios: no such table: Usuario\n"
            "POST /cidades: Database unreachable (999 more times within 1 "
            "s)\n");
  EXPECT_EQ(Lines(text), 3u);
}

TEST(ErrorLogTest, AFailureLineIsOneLineWhateverItHolds) {
  FlushLoggedCauses();
  ::testing::internal::CaptureStderr();
  LogCause("GET", "/a\r\nGET /b",
           "x\xC2\x9B"
           "2J\x7F\xFF");
  FlushLoggedCauses();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "GET /a\\r\\nGET /b: x\\xC2\\x9B2J\\x7F\\xFF\n");
}

}  // namespace
}  // namespace norvessa
