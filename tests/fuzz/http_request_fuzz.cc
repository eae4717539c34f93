// The HTTP request reader, on raw bytes as a client might send them, with
// the service's limits and with small ones. The outcome is the same
// whether the bytes come at once, one by one or in uneven pieces; the
// reader's stage only moves forward; a request read is well formed, and
// written out again (where no header reframes or renames it) it reads back
// the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/transport/request_reader.h"
#include "framework/url_decode.h"
#include "fuzz_support.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

using transport::ReadHttpRequest;
using transport::ReadOutcome;
using transport::RequestReader;
using Stage = RequestReader::Stage;

struct Result {
  Stage stage = Stage::kHeader;
  int status = 0;
  std::optional<RawRequest> request;
  std::size_t surplus = 0;
};

bool SameRequest(const RawRequest& a, const RawRequest& b) {
  return a.method == b.method && a.version == b.version &&
         a.raw_path == b.raw_path && a.query == b.query &&
         a.path_info == b.path_info && a.headers == b.headers &&
         a.body == b.body;
}

bool SameResult(const Result& a, const Result& b) {
  if (a.stage != b.stage || a.status != b.status || a.surplus != b.surplus) {
    return false;
  }
  return !a.request || SameRequest(*a.request, *b.request);
}

// Feeds the bytes in pieces of the given sizes (the last piece takes the
// rest), checking that the stage never moves back.
Result Feed(std::string_view bytes, const TransportOptions& options,
            const std::vector<std::size_t>& sizes) {
  RequestReader reader(options);
  Result out;
  for (std::size_t i = 0; bytes.size() > 0; ++i) {
    std::size_t n = i < sizes.size() ? sizes[i] : bytes.size();
    n = std::min(n, bytes.size());
    const Stage stage = reader.Feed(bytes.substr(0, n));
    bytes.remove_prefix(n);
    const bool settled =
        out.stage == Stage::kDone || out.stage == Stage::kError;
    fuzz::Require(settled ? stage == out.stage : stage >= out.stage,
                  "the stage only moves forward, and a verdict stays");
    out.stage = stage;
  }
  if (out.stage == Stage::kBody) {
    const auto length = reader.content_length();
    fuzz::Require(!length || reader.body_bytes() <= *length,
                  "a body holds no more than its length");
  }
  if (out.stage == Stage::kError) out.status = reader.error_status();
  if (out.stage == Stage::kDone) {
    out.surplus = reader.surplus();
    out.request = reader.TakeRequest();
  }
  return out;
}

std::vector<std::size_t> UnevenSizes(std::size_t total) {
  std::vector<std::size_t> sizes;
  std::uint32_t state = static_cast<std::uint32_t>(total) * 2654435761u + 1;
  for (std::size_t used = 0; used < total;) {
    state = state * 1103515245u + 12345u;
    const std::size_t n = 1 + (state >> 16) % 23;
    sizes.push_back(n);
    used += n;
  }
  return sizes;
}

bool HasLower(std::string_view s) {
  for (const char c : s) {
    if (c >= 'a' && c <= 'z') return true;
  }
  return false;
}

void CheckRequest(const RawRequest& r, const TransportOptions& options) {
  fuzz::Require(!HasLower(r.method), "the method is upper case");
  fuzz::Require(r.version == "HTTP/1.1" || r.version == "HTTP/1.0",
                "the version is 1.0 or 1.1");
  fuzz::Require(r.raw_path.find('?') == std::string::npos,
                "the path stops at the first ?");
  fuzz::Require(r.path_info == DecodePathLenient(r.raw_path),
                "the decoded path is the raw path decoded");
  fuzz::Require(r.body.size() <= options.body_limit,
                "the body is within its limit");
  fuzz::Require(r.remote_addr.empty() && r.remote_port == 0,
                "no remote end without a socket");
}

// The request line and header fields as read, compact: what the reader
// took as one request, it takes again.
std::string WriteOut(const RawRequest& r) {
  std::string out = r.method + " " + r.raw_path;
  // A target of "?" alone leaves both parts empty.
  if (!r.query.empty() || r.raw_path.empty()) out += "?" + r.query;
  out += " " + r.version + "\r\n";
  for (const auto& [name, value] : r.headers) {
    out += name + ":" + value + "\r\n";
  }
  out += "\r\n";
  return out + r.body;
}

// Chunked framing and the method overrides make the request differ from
// its bytes.
bool Reframed(const RawRequest& r) {
  for (const auto& [name, value] : r.headers) {
    for (const std::string_view header :
         {"Transfer-Encoding", "X-HTTP-Method-Override", "X-HTTP-Method",
          "X-METHOD-OVERRIDE"}) {
      if (EqualsIgnoreCase(name, header)) return true;
    }
  }
  return false;
}

void Check(std::string_view bytes, const TransportOptions& options) {
  const Result whole = Feed(bytes, options, {});
  const ReadOutcome outcome = ReadHttpRequest(bytes, options);
  switch (whole.stage) {
    case Stage::kDone:
      fuzz::Require(outcome.kind == ReadOutcome::Kind::kRequest &&
                        SameRequest(outcome.request, *whole.request),
                    "ReadHttpRequest reads what the reader reads");
      break;
    case Stage::kError:
      fuzz::Require(outcome.kind == ReadOutcome::Kind::kError &&
                        outcome.status == whole.status,
                    "ReadHttpRequest refuses what the reader refuses");
      fuzz::Require(whole.status == 400 || whole.status == 413 ||
                        whole.status == 431 || whole.status == 501,
                    "a refusal is 400, 413, 431 or 501");
      break;
    default:
      fuzz::Require(outcome.kind == ReadOutcome::Kind::kNeedMore,
                    "ReadHttpRequest waits where the reader waits");
  }
  fuzz::Require(
      SameResult(whole, Feed(bytes, options,
                             std::vector<std::size_t>(bytes.size(), 1))),
      "byte by byte reads the same");
  fuzz::Require(
      SameResult(whole, Feed(bytes, options, UnevenSizes(bytes.size()))),
      "uneven pieces read the same");
  if (whole.stage != Stage::kDone) return;
  const RawRequest& request = *whole.request;
  CheckRequest(request, options);
  if (Reframed(request)) return;
  const std::string again = WriteOut(request);
  if (again.size() > bytes.size()) return;
  const ReadOutcome reread = ReadHttpRequest(again, options);
  fuzz::Require(reread.kind == ReadOutcome::Kind::kRequest &&
                    SameRequest(reread.request, request),
                "a request written out reads back the same");
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes = norvessa::fuzz::AsText(data, size);
  norvessa::Check(bytes, norvessa::TransportOptions{});
  norvessa::TransportOptions small;
  small.header_limit = 256;
  small.body_limit = 64;
  norvessa::Check(bytes, small);
  return 0;
}
