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

// Who may use the service: the socket's peer must be in `allowed`, unless
// the peer is one of `proxies`; then the right-most address of
// X-Forwarded-For that is not one of the proxies is the client judged. An
// empty `allowed` admits everyone.
struct AccessRules {
  AddressList allowed;
  AddressList proxies;

  // The address judged for this request: the peer, or the client a
  // listed proxy forwarded for (nothing when that header is malformed).
  std::optional<IpAddress> ClientAddress(const RawRequest& request) const;
  bool Admits(const RawRequest& request) const;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ACCESS_RULES_H_
