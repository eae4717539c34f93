// The settings file reader and writer. Input: a section line, a key line, a
// value line, then the file's content. Reading never fails; writing a key
// and reading it back gives the value as read rules make it (trimmed, one
// pair of quotes off, at most 2047 characters), and every other line of
// the file stays as it was.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/ini_file.h"
#include "fuzz_support.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

constexpr std::string_view kDefault = "\x01(default)";

// A file of its own on tmpfs where there is one: the writer syncs.
const std::string& FilePath() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/norvessa-ini-fuzz-" + std::to_string(getpid()) +
           ".ini";
  }();
  return path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Lines with their endings.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    out.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
  return out;
}

std::string_view TrimBlanksAndTabs(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") + 1 - first);
}

// A name that reads back as written: one line, no blanks around it, and
// nothing that makes its line a comment, a section or a pair of another
// key.
bool PlainName(std::string_view name, std::string_view forbidden) {
  return name.find_first_of(forbidden) == std::string_view::npos &&
         TrimBlanksAndTabs(name) == name;
}

std::string ExpectedValue(std::string_view value) {
  std::string clean(value);
  for (char& c : clean) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  std::string_view v = TrimBlanksAndTabs(clean);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  std::size_t pos = 0;
  for (int n = 0; n < 2047 && pos < v.size(); ++n) NextCodePoint(v, pos);
  return std::string(v.substr(0, pos));
}

// Apart from the key's line, the write changed at most the ending of the
// line before a new key, and added at most a section line and a key line.
void CheckOtherLinesKept(std::string_view before, std::string_view after) {
  const std::vector<std::string_view> old_lines = Lines(before);
  const std::vector<std::string_view> new_lines = Lines(after);
  std::size_t prefix = 0;
  while (prefix < old_lines.size() && prefix < new_lines.size() &&
         old_lines[prefix] == new_lines[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < old_lines.size() - prefix &&
         suffix < new_lines.size() - prefix &&
         old_lines[old_lines.size() - 1 - suffix] ==
             new_lines[new_lines.size() - 1 - suffix]) {
    ++suffix;
  }
  fuzz::Require(old_lines.size() - prefix - suffix <= 1,
                "at most one line of the file changes");
  fuzz::Require(new_lines.size() - prefix - suffix <= 3,
                "at most a section and a key are added");
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace norvessa;
  std::string_view rest = fuzz::AsText(data, size);
  const std::string section(fuzz::TakeLine(rest));
  const std::string key(fuzz::TakeLine(rest));
  const std::string value(fuzz::TakeLine(rest));
  const std::string& path = FilePath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(rest.data(), static_cast<std::streamsize>(rest.size()));
  }

  const std::string read = ReadIniString(path, section, key, kDefault);
  std::size_t chars = 0;
  for (std::size_t pos = 0; pos < read.size(); ++chars) {
    NextCodePoint(read, pos);
  }
  fuzz::Require(read == kDefault || chars <= 2047,
                "a value read is at most 2047 characters");

  WriteIniString(path, section, key, value);
  const std::string written = ReadAll(path);
  CheckOtherLinesKept(rest, written);
  if (PlainName(section, "]\r\n") && PlainName(key, "=\r\n") &&
      (key.empty() ||
       (key.front() != ';' && key.front() != '#' && key.front() != '['))) {
    fuzz::Require(
        ReadIniString(path, section, key, kDefault) == ExpectedValue(value),
        "a value written reads back");
  }
  std::remove(path.c_str());
  return 0;
}
