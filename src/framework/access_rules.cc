#include "framework/access_rules.h"

#include <arpa/inet.h>

#include <cstring>

#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
  text = TrimBlanks(text);
  // Bracketed IPv6, as in a Host header.
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  const std::string z(text);
  IpAddress out{};
  in_addr v4{};
  if (inet_pton(AF_INET, z.c_str(), &v4) == 1) {
    out[10] = 0xFF;
    out[11] = 0xFF;
    std::memcpy(out.data() + 12, &v4, 4);
    return out;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, z.c_str(), &v6) == 1) {
    std::memcpy(out.data(), &v6, 16);
    return out;
  }
  return std::nullopt;
}

namespace {

bool SamePrefix(const IpAddress& a, const IpAddress& b, int bits) {
  int i = 0;
  for (; bits >= 8; bits -= 8, ++i) {
    if (a[i] != b[i]) return false;
  }
  if (bits == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xFF << (8 - bits));
  return (a[i] & mask) == (b[i] & mask);
}

}  // namespace

AddressList AddressList::Parse(std::string_view text) {
  AddressList list;
  if (TrimBlanks(text).empty()) return list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view element =
        TrimBlanks(text.substr(start, comma - start));
    start = comma + 1;
    auto fail = [&] {
      throw AddressListError(
          "'" + std::string(element) +
          "' is not an address or a CIDR range (a.b.c.d, a.b.c.d/n with n "
          "up to 32, an IPv6 address, or IPv6/n with n up to 128)");
    };
    if (element.empty()) fail();
    const std::size_t slash = element.find('/');
    const auto address = ParseIpAddress(element.substr(0, slash));
    if (!address) fail();
    const bool v4 =
        element.substr(0, slash).find(':') == std::string_view::npos;
    int prefix = 128;
    if (slash != std::string_view::npos) {
      const std::string_view bits = element.substr(slash + 1);
      bool digits = !bits.empty() && bits.size() <= 3;
      for (char c : bits) digits = digits && c >= '0' && c <= '9';
      const auto n =
          digits ? TryParseInteger(bits, 0, v4 ? 32 : 128) : std::nullopt;
      if (!n) fail();
      prefix = static_cast<int>(*n) + (v4 ? 96 : 0);
    }
    list.ranges_.push_back({*address, prefix});
  }
  return list;
}

bool AddressList::Contains(const IpAddress& address) const {
  for (const Range& r : ranges_) {
    if (SamePrefix(r.network, address, r.prefix)) return true;
  }
  return false;
}

bool AddressList::Contains(std::string_view address) const {
  const auto parsed = ParseIpAddress(address);
  return parsed && Contains(*parsed);
}

std::optional<IpAddress> AccessRules::ClientAddress(
    const RawRequest& request) const {
  const auto peer = ParseIpAddress(request.remote_addr);
  if (!peer || proxies.empty() || !proxies.Contains(*peer)) return peer;
  // Every X-Forwarded-For line, in order, as one list.
  std::vector<std::string_view> hops;
  for (const auto& [name, value] : request.headers) {
    if (!EqualsIgnoreCase(name, "X-Forwarded-For")) continue;
    std::string_view rest = value;
    while (true) {
      const std::size_t comma = rest.find(',');
      hops.push_back(TrimBlanks(rest.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  // From the right: the first hop that is not one of our proxies is the
  // client; the left-most when every hop is a proxy.
  std::optional<IpAddress> client = peer;
  for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
    const auto hop = ParseIpAddress(*it);
    if (!hop) return std::nullopt;
    client = hop;
    if (!proxies.Contains(*hop)) break;
  }
  return client;
}

bool AccessRules::Admits(const RawRequest& request) const {
  if (allowed.empty()) return true;
  const auto client = ClientAddress(request);
  return client && allowed.Contains(*client);
}

bool AccessRules::MayAdmit(const IpAddress& peer) const {
  return allowed.empty() || allowed.Contains(peer) || proxies.Contains(peer);
}

AccessRules::Verdict AccessRules::Judge(const RawRequest& request) const {
  if (!Admits(request)) return Verdict::kAddress;
  // Every Origin line counts: a second one cannot hide an unlisted first.
  for (const auto& [name, value] : request.headers) {
    if (EqualsIgnoreCase(name, "Origin") && !origins.Contains(value)) {
      return Verdict::kOrigin;
    }
  }
  if (!hosts.empty()) {
    for (const auto& [name, value] : request.headers) {
      if (EqualsIgnoreCase(name, "Host") && !hosts.Contains(value)) {
        return Verdict::kHost;
      }
    }
  }
  return Verdict::kAdmitted;
}

std::string FormatIpAddress(const IpAddress& address) {
  static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0,    0,
                                               0, 0, 0, 0, 0xFF, 0xFF};
  char text[INET6_ADDRSTRLEN] = {};
  if (std::memcmp(address.data(), kMapped, sizeof kMapped) == 0) {
    inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
  }
  return text;
}

namespace {

// Splits a comma-separated setting into its trimmed elements; an empty
// element is one too (the caller refuses it).
std::vector<std::string_view> Elements(std::string_view text) {
  std::vector<std::string_view> out;
  if (TrimBlanks(text).empty()) return out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    out.push_back(TrimBlanks(text.substr(start, comma - start)));
    start = comma + 1;
  }
  return out;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

// "host" or "[v6]", with an optional ":digits" after it; the host's text
// in its normal form, or nothing when it is not one.
std::optional<std::string> HostAndPort(std::string_view text,
                                       std::string* port) {
  std::string_view host = text;
  std::string_view digits;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      digits = rest.substr(1);
      if (digits.empty()) return std::nullopt;
    }
    const std::string z(host);
    in6_addr v6{};
    if (inet_pton(AF_INET6, z.c_str(), &v6) != 1) return std::nullopt;
  } else {
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      host = text.substr(0, colon);
      digits = text.substr(colon + 1);
      if (digits.empty()) return std::nullopt;
    }
    if (host.empty()) return std::nullopt;
    for (char c : host) {
      if (!IsHostChar(c)) return std::nullopt;
    }
  }
  if (digits.size() > 5) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  if (port != nullptr) *port = std::string(digits);
  return NormalHost(host);
}

// "scheme://host[:port]" in the form compared: lower case, the scheme's
// default port left out.
std::optional<std::string> NormalOrigin(std::string_view text) {
  const std::size_t sep = text.find("://");
  if (sep == std::string_view::npos || sep == 0) return std::nullopt;
  const std::string scheme = AsciiLower(text.substr(0, sep));
  for (char c : scheme) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '+' || c == '-' || c == '.';
    if (!ok) return std::nullopt;
  }
  std::string port;
  const auto host = HostAndPort(text.substr(sep + 3), &port);
  if (!host) return std::nullopt;
  while (port.size() > 1 && port.front() == '0') port.erase(0, 1);
  if ((scheme == "http" && port == "80") ||
      (scheme == "https" && port == "443")) {
    port.clear();
  }
  const bool v6 = host->find(':') != std::string::npos;
  std::string out = scheme + "://" + (v6 ? "[" + *host + "]" : *host);
  if (!port.empty()) out += ":" + port;
  return out;
}

}  // namespace

std::string NormalHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return AsciiLower(host);
}

OriginList OriginList::Parse(std::string_view text) {
  OriginList list;
  for (std::string_view element : Elements(text)) {
    const auto origin = NormalOrigin(element);
    if (!origin) {
      throw AddressListError("'" + std::string(element) +
                             "' is not an origin (scheme://host or "
                             "scheme://host:port, as a browser sends it)");
    }
    list.origins_.push_back(*origin);
  }
  return list;
}

bool OriginList::Contains(std::string_view origin) const {
  const auto normal = NormalOrigin(TrimBlanks(origin));
  if (!normal) return false;
  for (const std::string& o : origins_) {
    if (o == *normal) return true;
  }
  return false;
}

HostList HostList::Parse(std::string_view text) {
  HostList list;
  for (std::string_view element : Elements(text)) {
    // A bare IPv6 address is listed as it is written.
    std::optional<std::string> host;
    in6_addr v6{};
    const std::string z(element);
    if (inet_pton(AF_INET6, z.c_str(), &v6) == 1) {
      host = NormalHost(element);
    } else {
      std::string port;
      host = HostAndPort(element, &port);
      if (host && !port.empty()) host.reset();
    }
    if (!host || host->empty()) {
      throw AddressListError("'" + std::string(element) +
                             "' is not a host name or address (a name, "
                             "a.b.c.d, or an IPv6 address, without a port)");
    }
    list.hosts_.push_back(*host);
  }
  return list;
}

bool HostList::Contains(std::string_view host) const {
  const auto normal = HostAndPort(TrimBlanks(host), nullptr);
  if (!normal) return false;
  for (const std::string& h : hosts_) {
    if (h == *normal) return true;
  }
  return false;
}

}  // namespace norvessa
