#include "middleware/log_entry.h"

#include <time.h>

#include <charconv>

#include "middleware/client_ip.h"
#include "text/ascii.h"
#include "text/date_time.h"
#include "text/number_text.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

// "host:port" -> host; "[::1]:9000" -> "[::1]".
std::string_view HostWithoutPort(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.find(':'));
}

// The port of the Host header, else the local port; "-1" when not a
// number.
std::string ServerPort(std::string_view host, std::uint16_t local_port) {
  std::size_t colon = std::string_view::npos;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close != std::string_view::npos && close + 1 < host.size() &&
        host[close + 1] == ':') {
      colon = close + 1;
    }
  } else {
    colon = host.find(':');
  }
  if (colon == std::string_view::npos) return FormatInteger(local_port);
  const std::string_view digits = host.substr(colon + 1);
  int port = 0;
  const auto [ptr, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (digits.empty() || ec != std::errc() ||
      ptr != digits.data() + digits.size()) {
    return "-1";
  }
  return FormatInteger(port);
}

// Where CutLogValue cuts a value longer than the limit: at the limit,
// unless a well-formed character starts before it and ends after it.
std::size_t CutPoint(std::string_view value) {
  const std::size_t limit = kLogValueMaxBytes;
  // A character of at most four bytes that crosses the limit starts no
  // more than three bytes before it.
  for (std::size_t start = limit; start > 0 && limit - start < 3;) {
    --start;
    const auto byte = static_cast<unsigned char>(value[start]);
    if ((byte & 0xC0) == 0x80) continue;
    std::size_t end = start;
    const char32_t cp = NextCodePoint(value, end);
    const bool well_formed = cp != kReplacementCharacter ||
                             value.substr(start, end - start) == "\xEF\xBF\xBD";
    return well_formed && end > limit ? start : limit;
  }
  return limit;
}

}  // namespace

std::string CutLogValue(std::string_view value) {
  if (value.size() <= kLogValueMaxBytes) return std::string(value);
  const std::size_t cut = CutPoint(value);
  std::string out(value.substr(0, cut));
  out += "...(+";
  out += FormatInteger(static_cast<std::int64_t>(value.size() - cut));
  out += " bytes)";
  return out;
}

LogTime LogTime::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  LogTime t;
  LocalTime(ts.tv_sec, t.local);
  t.millisecond = static_cast<int>(ts.tv_nsec / 1'000'000);
  t.epoch_ms = static_cast<std::int64_t>(ts.tv_sec) * 1000 + t.millisecond;
  return t;
}

std::string FormatLogTime(const LogTime& time) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "janeiro",  "fevereiro", "mar\xC3\xA7o", "abril",
      "maio",     "junho",     "julho",        "agosto",
      "setembro", "outubro",   "novembro",     "dezembro"};
  const std::tm& t = time.local;
  std::string out;
  out.reserve(32);
  AppendZeroPadded(out, t.tm_mday, 2);
  out += '/';
  out += kMonths[static_cast<std::size_t>(t.tm_mon % 12)];
  out += '/';
  AppendZeroPadded(out, t.tm_year + 1900, 4);
  out += ' ';
  AppendZeroPadded(out, t.tm_hour, 2);
  out += ':';
  AppendZeroPadded(out, t.tm_min, 2);
  out += ':';
  AppendZeroPadded(out, t.tm_sec > 59 ? 59 : t.tm_sec, 2);
  out += '.';
  AppendZeroPadded(out, time.millisecond, 3);
  return out;
}

const std::array<std::string_view, 40> kLogEntryKeys = {
    "time",
    "execution_time",
    "request_clientip",
    "request_method",
    "request_version",
    "request_url",
    "request_query",
    "request_path_info",
    "request_path_translated",
    "request_cookie",
    "request_accept",
    "request_from",
    "request_host",
    "request_referer",
    "request_user_agent",
    "request_connection",
    "request_remote_addr",
    "request_remote_host",
    "request_server_port",
    "request_script_name",
    "request_authorization",
    "request_content_encoding",
    "request_content_type",
    "request_content_length",
    "response_server",
    "response_allow",
    "response_location",
    "response_content_encoding",
    "response_content_type",
    "response_content_length",
    "response_status",
    "request_derived_from",
    "request_remote_ip",
    "request_internal_path_info",
    "request_raw_path_info",
    "request_cache_control",
    "response_realm",
    "response_log_message",
    "response_title",
    "response_content_version",
};

JsonValue BuildLogEntry(const ApiRequest& request, const ApiResponse& response,
                        const LogTime& before, std::int64_t execution_ms) {
  const RawRequest& in = request.RawWebRequest();
  const RawResponse& out = response.RawWebResponse();
  // Values go to the line as they came, but for their size: each is cut
  // before it is copied, and the line's formatter writes every byte that
  // is not part of a UTF-8 character as \xNN.
  auto cut = [](std::string_view value) { return CutLogValue(value); };
  auto header = [&](std::string_view name) { return cut(in.Header(name)); };
  std::string values[] = {
      cut(FormatLogTime(before)),
      cut(FormatInteger(execution_ms)),
      cut(ClientIP(request)),
      cut(in.method),
      cut(in.version),
      std::string(),
      cut(in.query),
      cut(in.path_info),
      cut(in.path_info),
      std::string(),
      header("Accept"),
      header("From"),
      cut(HostWithoutPort(in.Header("Host"))),
      header("Referer"),
      header("User-Agent"),
      header("Connection"),
      cut(in.remote_addr),
      header("REMOTE_HOST"),
      cut(ServerPort(in.Header("Host"), in.local_port)),
      std::string(),
      header("Authorization"),
      header("Content-Encoding"),
      header("Content-Type"),
      cut(FormatInteger(static_cast<std::int64_t>(in.body.size()))),
      cut(out.server),
      cut(out.allow),
      cut(out.location),
      cut(out.content_encoding),
      cut(out.content_type),
      cut(FormatInteger(out.ContentLength())),
      cut(FormatInteger(out.status_code)),
      header("Derived-From"),
      cut(in.remote_addr),
      cut(in.path_info),
      cut(in.raw_path),
      header("Cache-Control"),
      cut(out.realm),
      std::string(),
      cut(out.title),
      cut(out.content_version),
  };
  JsonValue entry = JsonValue::Object();
  entry.members().reserve(kLogEntryKeys.size());
  for (std::size_t i = 0; i < kLogEntryKeys.size(); ++i) {
    entry.AddPair(std::string(kLogEntryKeys[i]),
                  JsonValue::String(std::move(values[i])));
  }
  return entry;
}

}  // namespace norvessa
