#include "db/odbc/connection_string.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "db/driver_error.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

// One key=value pair of a connection string, the value as written (braced
// or not).
struct Attribute {
  std::string key;
  std::string value;
};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// "k=v;k={v;w};" as pairs; a braced value runs to the "}" that is not
// doubled.
std::vector<Attribute> ParseAttributes(std::string_view text) {
  std::vector<Attribute> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t eq = text.find('=', pos);
    const std::size_t semi = text.find(';', pos);
    if (eq == std::string_view::npos ||
        (semi != std::string_view::npos && semi < eq)) {
      const std::string_view rest = TrimBlanks(text.substr(
          pos, semi == std::string_view::npos ? std::string_view::npos
                                              : semi - pos));
      if (!rest.empty()) {
        throw DriverError("Invalid ODBCEXTRA entry '" + std::string(rest) +
                          "': expected key=value");
      }
      pos = semi == std::string_view::npos ? text.size() : semi + 1;
      continue;
    }
    Attribute a;
    a.key = std::string(TrimBlanks(text.substr(pos, eq - pos)));
    if (a.key.empty()) {
      throw DriverError("Invalid ODBCEXTRA entry: a value without a key");
    }
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::size_t end = v;
    if (v < text.size() && text[v] == '{') {
      end = v + 1;
      while (end < text.size()) {
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
      a.value = std::string(text.substr(v, end - v));
      end = text.find(';', end);
    } else {
      end = text.find(';', v);
      a.value = std::string(TrimBlanks(
          text.substr(v, end == std::string_view::npos ? std::string_view::npos
                                                       : end - v)));
    }
    out.push_back(std::move(a));
    pos = end == std::string_view::npos ? text.size() : end + 1;
  }
  return out;
}

std::string BraceValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos &&
      (value.empty() || (value.front() != ' ' && value.back() != ' '))) {
    return value;
  }
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsIgnoreCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

}  // namespace

SqlServerDriverKind DriverKindFromName(std::string_view odbc_driver) {
  if (odbc_driver.empty() || ContainsIgnoreCase(odbc_driver, "FreeTDS") ||
      ContainsIgnoreCase(odbc_driver, "libtdsodbc")) {
    return SqlServerDriverKind::kFreeTds;
  }
  return SqlServerDriverKind::kMicrosoft;
}

std::optional<SqlServerDriverKind> DriverKindFromFile(std::string_view file) {
  if (ContainsIgnoreCase(file, "tdsodbc")) return SqlServerDriverKind::kFreeTds;
  if (ContainsIgnoreCase(file, "msodbcsql")) {
    return SqlServerDriverKind::kMicrosoft;
  }
  return std::nullopt;
}

const char* DriverKindName(SqlServerDriverKind kind) {
  return kind == SqlServerDriverKind::kFreeTds ? "FreeTDS"
                                               : "Microsoft's ODBC driver";
}

std::string SqlServerConnectionString(const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password,
                                      const std::string& extra) {
  return SqlServerConnectionString(DriverKindFromName(odbc_driver), odbc_driver,
                                   host, database, user, password, extra);
}

std::string SqlServerConnectionString(SqlServerDriverKind kind,
                                      const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password,
                                      const std::string& extra) {
  const std::string driver = odbc_driver.empty() ? "FreeTDS" : odbc_driver;
  const bool freetds = kind == SqlServerDriverKind::kFreeTds;
  std::string server = host;
  std::string port;
  const std::size_t comma = host.find(',');
  if (comma != std::string::npos && freetds) {
    server = host.substr(0, comma);
    port = host.substr(comma + 1);
  }
  std::vector<Attribute> attributes = {{"DRIVER", "{" + driver + "}"}};
  auto add = [&attributes](const char* key, const std::string& value) {
    if (!value.empty()) attributes.push_back({key, BraceValue(value)});
  };
  add("SERVER", server);
  add("PORT", port);
  add("DATABASE", database);
  add("UID", user);
  add("PWD", password);
  if (freetds) {
    add("ClientCharset", "UTF-8");
    add("TDS_Version", "7.4");
    add("APP", "APINorvessa");
    add("Timeout", "30");
    // FreeTDS asks for no encryption otherwise: the queries, the answers
    // and the users' passwords would cross the network in clear.
    add("Encryption", "require");
  } else {
    // Driver 18 encrypts by default, 17 does not; servers beside an ERP
    // usually carry a self-signed certificate.
    add("Encrypt", "yes");
    add("TrustServerCertificate", "yes");
    add("APP", "APINorvessa");
  }
  for (Attribute& e : ParseAttributes(extra)) {
    auto same = std::find_if(
        attributes.begin(), attributes.end(),
        [&](const Attribute& a) { return EqualsIgnoreCase(a.key, e.key); });
    if (same != attributes.end()) {
      same->value = std::move(e.value);
    } else {
      attributes.push_back(std::move(e));
    }
  }
  std::string s;
  for (const Attribute& a : attributes) s += a.key + "=" + a.value + ";";
  return s;
}

}  // namespace norvessa
