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

LogKeySet LogKeysNamed(const std::vector<std::string>& names) {
  LogKeySet keys;
  for (const std::string& name : names) {
    for (std::size_t i = 0; i < kLogEntryKeys.size(); ++i) {
      if (kLogEntryKeys[i] == name) keys.set(i);
    }
  }
  return keys;
}

JsonValue BuildLogEntry(const ApiRequest& request, const ApiResponse& response,
                        const LogTime& before, std::int64_t execution_ms,
                        const LogKeySet& keys) {
  const RawRequest& in = request.RawWebRequest();
  const RawResponse& out = response.RawWebResponse();
  // Values go to the line as they came, but for their size: each is cut
  // before it is copied, and the line's formatter writes every byte that
  // is not part of a UTF-8 character as \xNN.
  auto cut = [](std::string_view value) { return CutLogValue(value); };
  auto header = [&](std::string_view name) { return cut(in.Header(name)); };
  // The value of the key at `index` in kLogEntryKeys.
  auto value = [&](std::size_t index) -> std::string {
    switch (index) {
      case 0:
        return cut(FormatLogTime(before));
      case 1:
        return cut(FormatInteger(execution_ms));
      case 2:
        return cut(ClientIP(request));
      case 3:
        return cut(in.method);
      case 4:
        return cut(in.version);
      case 6:
        return cut(in.query);
      case 7:
        return cut(in.path_info);
      case 8:
        return cut(in.path_info);
      case 10:
        return header("Accept");
      case 11:
        return header("From");
      case 12:
        return cut(HostWithoutPort(in.Header("Host")));
      case 13:
        return header("Referer");
      case 14:
        return header("User-Agent");
      case 15:
        return header("Connection");
      case 16:
        return cut(in.remote_addr);
      case 17:
        return header("REMOTE_HOST");
      case 18:
        return cut(ServerPort(in.Header("Host"), in.local_port));
      case 20:
        return header("Authorization");
      case 21:
        return header("Content-Encoding");
      case 22:
        return header("Content-Type");
      case 23:
        return cut(FormatInteger(static_cast<std::int64_t>(in.body.size())));
      case 24:
        return cut(out.server);
      case 25:
        return cut(out.allow);
      case 26:
        return cut(out.location);
      case 27:
        return cut(out.content_encoding);
      case 28:
        return cut(out.content_type);
      case 29:
        return cut(FormatInteger(out.ContentLength()));
      case 30:
        return cut(FormatInteger(out.status_code));
      case 31:
        return header("Derived-From");
      case 32:
        return cut(in.remote_addr);
      case 33:
        return cut(in.path_info);
      case 34:
        return cut(in.raw_path);
      case 35:
        return header("Cache-Control");
      case 36:
        return cut(out.realm);
      case 38:
        return cut(out.title);
      case 39:
        return cut(out.content_version);
      default:
        // request_url, request_cookie, request_script_name and
        // response_log_message are always empty.
        return {};
    }
  };
  JsonValue entry = JsonValue::Object();
  entry.members().reserve(keys.count());
  for (std::size_t i = 0; i < kLogEntryKeys.size(); ++i) {
    if (!keys.test(i)) continue;
    entry.AddPair(std::string(kLogEntryKeys[i]), JsonValue::String(value(i)));
  }
  return entry;
}

}  // namespace norvessa
