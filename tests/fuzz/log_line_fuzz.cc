// The request log's line: an entry built from a fuzzed request, written
// through a fuzzed pattern. Input: the pattern line, the method line, the
// request target line, then header lines ("Name: value"). Each placeholder
// of the pattern, and only those, gets its entry value, escaped so that the
// line stays one line of UTF-8.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/error_log.h"
#include "framework/url_decode.h"
#include "fuzz_support.h"
#include "middleware/log_entry.h"
#include "middleware/log_file_provider.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_';
}

// The length of the placeholder "${name}" at `at`, or 0.
std::size_t PlaceholderAt(std::string_view pattern, std::size_t at) {
  if (pattern.substr(at, 2) != "${") return 0;
  std::size_t end = at + 2;
  while (end < pattern.size() && IsNameChar(pattern[end])) ++end;
  if (end == at + 2 || end >= pattern.size() || pattern[end] != '}') return 0;
  return end + 1 - at;
}

// One pass over the pattern: placeholders found left to right, each
// replaced by its escaped value where the entry has one.
void Reference(std::string_view pattern, const JsonValue& entry,
               std::vector<std::string>& params, std::string& line) {
  for (std::size_t i = 0; i < pattern.size();) {
    const std::size_t length = PlaceholderAt(pattern, i);
    if (length == 0) {
      line += pattern[i++];
      continue;
    }
    const std::string name(pattern.substr(i + 2, length - 3));
    params.push_back(name);
    const JsonValue* value = entry.Find(name);
    if (value != nullptr && value->IsString()) {
      AppendLogEscaped(line, value->text());
    } else {
      line.append(pattern.substr(i, length));
    }
    i += length;
  }
}

void CheckEntry(const JsonValue& entry) {
  fuzz::Require(entry.IsObject() && entry.size() == kLogEntryKeys.size(),
                "an entry has its 40 pairs");
  for (std::size_t i = 0; i < kLogEntryKeys.size(); ++i) {
    const JsonMember& m = entry.members()[i];
    fuzz::Require(m.key == kLogEntryKeys[i], "the pairs are in table order");
    fuzz::Require(m.value.IsString(), "every value is text");
  }
  // A decimal number as the Host header gives it, or -1.
  std::string_view port = entry.Find("request_server_port")->text();
  if (!port.empty() && port.front() == '-') port.remove_prefix(1);
  fuzz::Require(!port.empty() && port.find_first_not_of("0123456789") ==
                                     std::string_view::npos,
                "the server port is a number");
}

// UTF-8 without C0 controls, DEL or C1 controls: text that can neither
// break a line nor drive a terminal.
bool IsInert(std::string_view text) {
  if (!IsValidUtf8(text)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 32 || c == 0x7F) return false;
    if (c == 0xC2 && i + 1 < text.size() &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace norvessa;
  std::string_view rest = fuzz::AsText(data, size);
  const std::string_view pattern = fuzz::TakeLine(rest);
  RawRequest raw;
  raw.method = std::string(fuzz::TakeLine(rest));
  const std::string_view target = fuzz::TakeLine(rest);
  const std::size_t question = target.find('?');
  raw.raw_path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) {
    raw.query = std::string(target.substr(question + 1));
  }
  raw.path_info = DecodePathLenient(raw.raw_path);
  raw.version = "HTTP/1.1";
  raw.remote_addr = "127.0.0.1";
  raw.local_port = 9000;
  while (!rest.empty()) {
    const std::string_view line = fuzz::TakeLine(rest);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    raw.headers.emplace_back(line.substr(0, colon), value);
  }

  ApiRequest request(raw);
  RawResponse raw_response;
  ApiResponse response(raw_response);
  response.Send("ok").Status(200);
  LogTime time;
  time.local.tm_year = 126;
  time.local.tm_mon = 11;
  time.local.tm_mday = 9;
  const JsonValue entry = BuildLogEntry(request, response, time, 5);
  CheckEntry(entry);

  std::vector<std::string> expected_params;
  std::string expected_line;
  Reference(pattern, entry, expected_params, expected_line);
  const std::vector<std::string> params = GetFormatParams(pattern);
  fuzz::Require(params == expected_params,
                "the placeholders are the pattern's ${name}s");
  const std::string line = FormatLogLine(pattern, params, entry);
  fuzz::Require(!IsInert(pattern) || IsInert(line),
                "values add no control characters nor stray bytes");
  fuzz::Require(line == expected_line,
                "each placeholder, and only those, gets its value");
  return 0;
}
