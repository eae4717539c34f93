#ifndef NORVESSA_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define NORVESSA_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace norvessa::fuzz {

// Ends the run when an invariant does not hold, so that libFuzzer keeps the
// input as a crash and prints the stack that led here.
inline void Require(bool condition, std::string_view what) {
  if (condition) return;
  std::fprintf(stderr, "invariant failed: %.*s\n",
               static_cast<int>(what.size()), what.data());
  std::abort();
}

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Inputs made of several parts give one part per line, the last part
// taking the rest: returns the first line and leaves `rest` after it.
inline std::string_view TakeLine(std::string_view& rest) {
  const std::size_t nl = rest.find('\n');
  const std::string_view line = rest.substr(0, nl);
  rest =
      nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
  return line;
}

}  // namespace norvessa::fuzz

#endif  // NORVESSA_TESTS_FUZZ_FUZZ_SUPPORT_H_
