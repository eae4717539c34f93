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

}  // namespace norvessa
