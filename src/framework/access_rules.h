#ifndef NORVESSA_FRAMEWORK_ACCESS_RULES_H_
#define NORVESSA_FRAMEWORK_ACCESS_RULES_H_

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "framework/raw_http.h"

namespace norvessa {

// An IPv4 or IPv6 address as 16 bytes; IPv4 is held as its IPv4-mapped
// IPv6 form (::ffff:a.b.c.d), so that an IPv4 range also covers the
// mapped peers a dual-stack socket reports.
using IpAddress = std::array<std::uint8_t, 16>;

// "10.0.0.1", "::1", "::ffff:10.0.0.1"; blanks around it allowed.
std::optional<IpAddress> ParseIpAddress(std::string_view text);

class AddressListError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Addresses and CIDR ranges, IPv4 and IPv6: "10.0.0.0/8, 192.168.1.7,
// 2001:db8::/32".
class AddressList {
 public:
  AddressList() = default;
  // Fails with AddressListError naming the first element that is not an
  // address or a range. An empty text is an empty list.
  static AddressList Parse(std::string_view text);

  bool empty() const { return ranges_.empty(); }
  bool Contains(const IpAddress& address) const;
  bool Contains(std::string_view address) const;

 private:
  struct Range {
    IpAddress network;
    int prefix;  // bits, 0..128
  };
  std::vector<Range> ranges_;
};

// "10.0.0.1" for an IPv4 (or IPv4-mapped) address, "2001:db8::1" else.
std::string FormatIpAddress(const IpAddress& address);

// Browser origins, "scheme://host[:port]" each: "https://app.example.com,
// http://10.0.0.5:8080". Compared without regard to case, a scheme's
// default port (80 for http, 443 for https) written or not.
class OriginList {
 public:
  OriginList() = default;
  // Fails with AddressListError naming the first element that is not an
  // origin. An empty text is an empty list.
  static OriginList Parse(std::string_view text);

  bool empty() const { return origins_.empty(); }
  // `origin` as an Origin header gives it; "null" is never listed.
  bool Contains(std::string_view origin) const;

 private:
  std::vector<std::string> origins_;
};

// Host names and addresses a request may name in its Host header:
// "api.example.com, 10.0.0.5, [::1]". Compared without the port, without
// regard to case, a trailing dot ignored.
class HostList {
 public:
  HostList() = default;
  static HostList Parse(std::string_view text);

  bool empty() const { return hosts_.empty(); }
  // `host` as a Host header gives it, port and all.
  bool Contains(std::string_view host) const;

 private:
  std::vector<std::string> hosts_;
};

// The host part of a Host header or a listed host, as compared: no port,
// no brackets around IPv6, lower case, no trailing dot.
std::string NormalHost(std::string_view host);

// Who may use the service and how. The socket's peer must be in `allowed`,
// unless the peer is one of `proxies`; then the right-most address of
// X-Forwarded-For that is not one of the proxies is the client judged. An
// empty `allowed` admits every address. A request that carries Origin must
// name one of `origins` (none listed: no browser origin may call); with
// `hosts` listed, its Host must name one of them.
struct AccessRules {
  enum class Verdict { kAdmitted, kAddress, kOrigin, kHost };

  AddressList allowed;
  AddressList proxies;
  OriginList origins;
  HostList hosts;

  // The address judged for this request: the peer, or the client a
  // listed proxy forwarded for (nothing when that header is malformed).
  std::optional<IpAddress> ClientAddress(const RawRequest& request) const;
  bool Admits(const RawRequest& request) const;
  // Whether a connection from `peer` could send a request that is
  // admitted: false only for a peer outside `allowed` that is no proxy.
  bool MayAdmit(const IpAddress& peer) const;
  // Every rule, in order: the address, the origin, the host.
  Verdict Judge(const RawRequest& request) const;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ACCESS_RULES_H_
