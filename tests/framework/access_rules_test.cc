#include "framework/access_rules.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

TEST(AccessRulesTest, AddressListMatchesAddressesAndRanges) {
  const AddressList list = AddressList::Parse(
      " 10.0.0.0/8, 192.168.1.7 ,172.16.0.0/12, 2001:db8::/32, ::1, "
      "203.0.113.0/24");
  struct Case {
    const char* address;
    bool in;
  };
  const Case cases[] = {
      {"10.0.0.0", true},        // first address of a range
      {"10.255.255.255", true},  // last
      {"11.0.0.0", false},       // just past it
      {"9.255.255.255", false},  // just before it
      {"192.168.1.7", true},     // a single address
      {"192.168.1.8", false},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"203.0.113.255", true},
      {"203.0.114.0", false},
      {"::ffff:10.1.2.3", true},  // IPv4-mapped, as a dual-stack socket says
      {"::ffff:192.168.1.7", true},
      {"::ffff:11.1.2.3", false},
      {"2001:db8::1", true},
      {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", true},
      {"2001:db9::", false},
      {"::1", true},
      {"::2", false},
      {"127.0.0.1", false},
      {"", false},
      {"not an address", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(list.Contains(std::string(c.address)), c.in) << c.address;
  }
}

TEST(AccessRulesTest, WholeFamiliesAndSingleHostPrefixes) {
  const AddressList all_v4 = AddressList::Parse("0.0.0.0/0");
  EXPECT_TRUE(all_v4.Contains("1.2.3.4"));
  EXPECT_TRUE(all_v4.Contains("::ffff:1.2.3.4"));
  EXPECT_FALSE(all_v4.Contains("::1"));
  const AddressList all = AddressList::Parse("::/0");
  EXPECT_TRUE(all.Contains("::1"));
  EXPECT_TRUE(all.Contains("1.2.3.4"));
  const AddressList host = AddressList::Parse("1.2.3.4/32, fe80::1/128");
  EXPECT_TRUE(host.Contains("1.2.3.4"));
  EXPECT_FALSE(host.Contains("1.2.3.5"));
  EXPECT_TRUE(host.Contains("fe80::1"));
  EXPECT_FALSE(host.Contains("fe80::2"));
  EXPECT_TRUE(AddressList::Parse("").empty());
  EXPECT_TRUE(AddressList::Parse("  ").empty());
}

TEST(AccessRulesTest, MalformedElementsAreNamed) {
  for (const char* bad :
       {"10.0.0.300", "10.0.0.0/33", "::1/129", "10.0.0.0/", "10.0.0.0/-1",
        "10.0.0.0/8/8", "1.2.3.4, ", ",1.2.3.4", "localhost", "10.0.0.0/ 8",
        "1.2.3.4/0x8", "1.2.3"}) {
    try {
      AddressList::Parse(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const AddressListError& e) {
      EXPECT_NE(std::string(e.what()).find("is not an address or a CIDR range"),
                std::string::npos)
          << bad;
    }
  }
  try {
    AddressList::Parse("10.0.0.1, 10.0.0.999/8, ::1");
  } catch (const AddressListError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("'10.0.0.999/8' is not", 0), 0u)
        << e.what();
  }
}

RawRequest From(std::string peer, std::vector<std::string> forwarded = {}) {
  RawRequest request;
  request.remote_addr = std::move(peer);
  for (std::string& f : forwarded) {
    request.headers.emplace_back("X-Forwarded-For", std::move(f));
  }
  return request;
}

// X-Forwarded-For counts only when a listed proxy sent it: then the
// right-most address that is not one of the proxies is the client.
TEST(AccessRulesTest, ForwardedAddressesAreBelievedFromListedProxiesOnly) {
  AccessRules rules;
  rules.allowed = AddressList::Parse("203.0.113.0/24, 127.0.0.1");
  rules.proxies = AddressList::Parse("10.0.0.5, 10.0.0.6");
  struct Case {
    const char* what;
    RawRequest request;
    bool admitted;
  };
  const Case cases[] = {
      {"allowed peer", From("203.0.113.9"), true},
      {"other peer", From("198.51.100.1"), false},
      {"mapped allowed peer", From("::ffff:203.0.113.9"), true},
      {"forwarded header from a stranger is ignored",
       From("198.51.100.1", {"203.0.113.9"}), false},
      {"allowed peer forwarding for a stranger: the peer counts",
       From("203.0.113.9", {"198.51.100.1"}), true},
      {"proxy forwarding an allowed client", From("10.0.0.5", {"203.0.113.9"}),
       true},
      {"proxy forwarding a stranger", From("10.0.0.5", {"198.51.100.1"}),
       false},
      {"forged left part is skipped: right-most untrusted wins",
       From("10.0.0.5", {"203.0.113.9, 198.51.100.1"}), false},
      {"chain of proxies", From("10.0.0.5", {"203.0.113.9, 10.0.0.6"}), true},
      {"two header lines read as one list",
       From("10.0.0.5", {"198.51.100.1", "203.0.113.9"}), true},
      {"proxy without the header is judged itself", From("10.0.0.5"), false},
      {"malformed hop", From("10.0.0.5", {"203.0.113.9, junk"}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rules.Admits(c.request), c.admitted) << c.what;
  }
  // No allow-list: everyone, whatever the header.
  EXPECT_TRUE(AccessRules{}.Admits(From("198.51.100.1")));
}

RawRequest WithHeaders(std::vector<std::pair<std::string, std::string>> h) {
  RawRequest request;
  request.remote_addr = "127.0.0.1";
  for (auto& [name, value] : h) request.headers.emplace_back(name, value);
  return request;
}

// A browser page may send requests cross-origin without asking first, and
// a rebound DNS name reaches the service under a host it never had: Origin
// must be listed, and Host too once hosts are listed.
TEST(AccessRulesTest, OriginAndHostAreJudgedAfterTheAddress) {
  using Verdict = AccessRules::Verdict;
  AccessRules rules;
  rules.origins =
      OriginList::Parse("https://app.example.com, http://10.0.0.5:8080");
  rules.hosts = HostList::Parse("api.example.com, 10.0.0.7, [::1], fe80::2");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> headers;
    Verdict verdict;
  };
  const Case cases[] = {
      {"no Origin, no Host", {}, Verdict::kAdmitted},
      {"listed origin",
       {{"Origin", "https://app.example.com"}},
       Verdict::kAdmitted},
      {"listed origin, other case",
       {{"Origin", "HTTPS://App.Example.COM"}},
       Verdict::kAdmitted},
      {"listed origin, default port written",
       {{"Origin", "https://app.example.com:443"}},
       Verdict::kAdmitted},
      {"listed origin with its port",
       {{"Origin", "http://10.0.0.5:8080"}},
       Verdict::kAdmitted},
      {"same host, other port",
       {{"Origin", "http://10.0.0.5"}},
       Verdict::kOrigin},
      {"same host, other scheme",
       {{"Origin", "http://app.example.com"}},
       Verdict::kOrigin},
      {"unlisted origin",
       {{"Origin", "https://evil.example"}},
       Verdict::kOrigin},
      {"null origin", {{"Origin", "null"}}, Verdict::kOrigin},
      {"empty origin", {{"Origin", ""}}, Verdict::kOrigin},
      {"a second, unlisted Origin",
       {{"Origin", "https://app.example.com"}, {"Origin", "https://evil"}},
       Verdict::kOrigin},
      {"listed host", {{"Host", "api.example.com"}}, Verdict::kAdmitted},
      {"listed host with a port",
       {{"Host", "api.example.com:9000"}},
       Verdict::kAdmitted},
      {"listed host, other case, trailing dot",
       {{"Host", "API.Example.com."}},
       Verdict::kAdmitted},
      {"listed address", {{"Host", "10.0.0.7:9000"}}, Verdict::kAdmitted},
      {"IPv6 in brackets", {{"Host", "[::1]:9000"}}, Verdict::kAdmitted},
      {"IPv6 listed bare", {{"Host", "[fe80::2]"}}, Verdict::kAdmitted},
      {"unlisted host", {{"Host", "rebound.attacker.example"}}, Verdict::kHost},
      {"unlisted address", {{"Host", "127.0.0.1:9000"}}, Verdict::kHost},
      {"malformed host", {{"Host", "api.example.com:x"}}, Verdict::kHost},
      {"origin judged before host",
       {{"Origin", "https://evil"}, {"Host", "nowhere"}},
       Verdict::kOrigin},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rules.Judge(WithHeaders(c.headers)), c.verdict) << c.what;
  }
  // No hosts listed: any Host; no origins listed: no Origin at all.
  AccessRules open;
  EXPECT_EQ(open.Judge(WithHeaders({{"Host", "anything"}})),
            Verdict::kAdmitted);
  EXPECT_EQ(open.Judge(WithHeaders({{"Origin", "https://app.example.com"}})),
            Verdict::kOrigin);
  // The address is judged first.
  open.allowed = AddressList::Parse("10.0.0.0/8");
  EXPECT_EQ(open.Judge(WithHeaders({{"Origin", "null"}})), Verdict::kAddress);
}

TEST(AccessRulesTest, MalformedOriginsAndHostsAreNamed) {
  for (const char* bad : {"app.example.com", "https://", "https://a/b",
                          "https://a:port", "://a", "https://a, ", "null"}) {
    EXPECT_THROW(OriginList::Parse(bad), AddressListError) << bad;
  }
  for (const char* bad : {"a b", "host:9000", "https://a", "[::1", ","}) {
    EXPECT_THROW(HostList::Parse(bad), AddressListError) << bad;
  }
  EXPECT_TRUE(OriginList::Parse(" ").empty());
  EXPECT_TRUE(HostList::Parse("").empty());
}

}  // namespace
}  // namespace norvessa

// Over real sockets: the test's own address is 127.0.0.1.
namespace norvessa {
namespace {

struct Guarded {
  Guarded(const char* allowed, const char* proxies, const char* origins = "",
          const char* hosts = "") {
    ServerLimits limits = testing::TestServer::ShortLimits();
    auto rules = std::make_shared<AccessRules>();
    rules->allowed = AddressList::Parse(allowed);
    rules->proxies = AddressList::Parse(proxies);
    rules->origins = OriginList::Parse(origins);
    rules->hosts = HostList::Parse(hosts);
    limits.access = rules;
    server = std::make_unique<testing::TestServer>(limits);
    server->api().Get("/x", [this](ApiRequest& req, ApiResponse& res,
                                   const std::function<void()>&) {
      ++chain_runs;
      {
        std::lock_guard lock(mutex);
        seen_client = req.RawWebRequest().forwarded_client;
      }
      res.Send("ok");
    });
    server->api().OnRefused(
        [this](const RawRequest& req, const RawResponse& r) {
          std::lock_guard lock(mutex);
          told_client = req.forwarded_client;
          told = r.status_code;
        });
    server->Start();
  }

  testing::HttpReply Get(
      std::vector<std::pair<std::string, std::string>> h = {}) {
    return testing::Request(server->port(), "GET", "/x", h);
  }

  std::unique_ptr<testing::TestServer> server;
  std::atomic<int> chain_runs{0};
  std::atomic<int> told{0};
  std::mutex mutex;
  std::string seen_client;
  std::string told_client;
};

TEST(AccessRulesTest, APeerNotAllowedGets403AndTheChainNeverRuns) {
  Guarded g("10.0.0.0/8", "");
  const testing::HttpReply reply = g.Get();
  EXPECT_EQ(reply.status, 403);
  EXPECT_EQ(reply.body, R"({"error":"Forbidden"})");
  EXPECT_EQ(reply.Header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(g.chain_runs.load(), 0);
  EXPECT_EQ(g.told.load(), 403);  // the request log's hook heard of it
  EXPECT_EQ(g.server->api().Counts().forbidden, 1u);
  // A forwarded address changes nothing from a peer that is no proxy.
  EXPECT_EQ(g.Get({{"X-Forwarded-For", "10.1.2.3"}}).status, 403);
  EXPECT_EQ(g.chain_runs.load(), 0);

  Guarded open("127.0.0.0/8, ::1", "");
  EXPECT_EQ(open.Get().status, 200);
  EXPECT_EQ(open.chain_runs.load(), 1);
}

TEST(AccessRulesTest, AListedProxyForwardsTheClientJudged) {
  Guarded g("203.0.113.0/24", "127.0.0.1");
  EXPECT_EQ(g.Get({{"X-Forwarded-For", "203.0.113.9"}}).status, 200);
  EXPECT_EQ(g.Get({{"X-Forwarded-For", "198.51.100.1"}}).status, 403);
  EXPECT_EQ(g.Get().status, 403);  // the proxy itself is not allowed
  EXPECT_EQ(g.chain_runs.load(), 1);
  // The request carries the client judged, for the request log: never
  // what the client claims further left.
  EXPECT_EQ(g.Get({{"X-Forwarded-For", "203.0.113.77, 203.0.113.9"}}).status,
            200);
  EXPECT_EQ(g.seen_client, "203.0.113.9");
  g.Get({{"X-Forwarded-For", "198.51.100.1"}});
  EXPECT_EQ(g.told_client, "198.51.100.1");
}

TEST(AccessRulesTest, OriginsAndHostsAreAnsweredBeforeTheChain) {
  Guarded g("", "", "https://app.example.com", "api.example.com, 127.0.0.1");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;
    const char* body;
  };
  const Case cases[] = {
      {"listed origin", {{"Origin", "https://app.example.com"}}, 200, "ok"},
      {"unlisted origin",
       {{"Origin", "https://evil.example"}},
       403,
       R"({"error":"Forbidden"})"},
      {"listed host", {{"Host", "api.example.com:9000"}}, 200, "ok"},
      {"unlisted host",
       {{"Host", "evil.example"}},
       421,
       R"({"error":"Misdirected Request"})"},
  };
  int runs = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const testing::HttpReply reply = g.Get(c.headers);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);
    if (c.status == 200) ++runs;
    if (c.status != 200) {
      EXPECT_EQ(g.told.load(), c.status);
      EXPECT_EQ(reply.Header("Content-Type"),
                "application/json; charset=utf-8");
    }
  }
  EXPECT_EQ(g.chain_runs.load(), runs);
  const ServerCounts counts = g.server->api().Counts();
  EXPECT_EQ(counts.forbidden_origin, 1u);
  EXPECT_EQ(counts.misdirected, 1u);
}

}  // namespace
}  // namespace norvessa
