// The route tree with the service's kind of routes, literal and :param,
// dispatching a fuzzed method and path (first line: the method, the rest:
// the request target). The handler that runs, the 404 or 405, and the
// decoded parameters are those of a small reference walk over the same
// routes; percent-decoding is checked against an encoder as well.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/router_tree.h"
#include "framework/url_decode.h"
#include "fuzz_support.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

struct Route {
  MethodType method;
  std::string_view path;
};

// The service's shapes: literal siblings of a parameter, two parameters
// deep, and parameters of different names under one node.
constexpr Route kRoutes[] = {
    {MethodType::kGet, "/usuarios"},
    {MethodType::kGet, "/pedidos/separacao"},
    {MethodType::kPost, "/pedidos/separados"},
    {MethodType::kGet, "/pedidos/:idpedido"},
    {MethodType::kPost, "/pedidos/novo"},
    {MethodType::kPut, "/pedidos/:idpedido/itens/:item"},
    {MethodType::kDelete, "/pedidos/:idpedido/itens/:item"},
    {MethodType::kGet, "/produtoslike/:produto"},
    {MethodType::kGet, "/a/:x/b"},
    {MethodType::kGet, "/a/:y/c"},
    {MethodType::kPatch, "/a/:x/b/:z"},
};
constexpr int kRouteCount = sizeof kRoutes / sizeof kRoutes[0];

std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// What dispatch should do, worked out from the route table alone:
// literal children first and alone, then parameters in registration order,
// the first that leads to a handler for the method.
struct RefNode {
  std::map<std::string, std::unique_ptr<RefNode>, std::less<>> literals;
  std::vector<std::pair<std::string, std::unique_ptr<RefNode>>> params;
  std::map<MethodType, int> handlers;

  RefNode& Child(std::string_view segment) {
    if (segment.front() == ':') {
      for (auto& [name, node] : params) {
        if (name == segment.substr(1)) return *node;
      }
      params.emplace_back(segment.substr(1), std::make_unique<RefNode>());
      return *params.back().second;
    }
    auto& node = literals[std::string(segment)];
    if (!node) node = std::make_unique<RefNode>();
    return *node;
  }
};

struct Expected {
  int route = -1;
  int status = 404;
  std::vector<std::pair<std::string, std::string_view>> params;
};

class Reference {
 public:
  Reference() {
    for (int i = 0; i < kRouteCount; ++i) {
      RefNode* node = &root_;
      for (std::string_view s : Segments(kRoutes[i].path)) {
        node = &node->Child(s);
      }
      node->handlers.emplace(kRoutes[i].method, i);
    }
  }

  Expected Dispatch(MethodType method,
                    const std::vector<std::string_view>& segments) const {
    Expected out;
    Walk(root_, segments, 0, method, out);
    return out;
  }

 private:
  static void Walk(const RefNode& node,
                   const std::vector<std::string_view>& segs, std::size_t i,
                   MethodType method, Expected& out) {
    if (i == segs.size()) {
      const auto h = node.handlers.find(method);
      if (h != node.handlers.end()) {
        out.route = h->second;
        out.status = 200;
      } else {
        out.status = node.handlers.empty() ? 404 : 405;
      }
      return;
    }
    const auto literal = node.literals.find(segs[i]);
    if (literal != node.literals.end()) {
      return Walk(*literal->second, segs, i + 1, method, out);
    }
    for (const auto& [name, child] : node.params) {
      if (CanFinish(*child, segs, i + 1, method)) {
        out.params.emplace_back(name, segs[i]);
        return Walk(*child, segs, i + 1, method, out);
      }
    }
  }

  static bool CanFinish(const RefNode& node,
                        const std::vector<std::string_view>& segs,
                        std::size_t i, MethodType method) {
    if (i == segs.size()) {
      return node.handlers.contains(method) || method == MethodType::kAny;
    }
    const auto literal = node.literals.find(segs[i]);
    if (literal != node.literals.end()) {
      return CanFinish(*literal->second, segs, i + 1, method);
    }
    for (const auto& [name, child] : node.params) {
      if (CanFinish(*child, segs, i + 1, method)) return true;
    }
    return false;
  }

  RefNode root_;
};

struct Served {
  std::vector<int> handlers_run;
  int middleware_runs = 0;
};

Served* served = nullptr;

std::unique_ptr<ApiRouterTree> BuildTree() {
  auto tree = std::make_unique<ApiRouterTree>();
  tree->RegisterMiddleware(
      [](ApiRequest&, ApiResponse&, const std::function<void()>& next) {
        ++served->middleware_runs;
        next();
      });
  for (int i = 0; i < kRouteCount; ++i) {
    tree->RegisterRoute(
        kRoutes[i].method, kRoutes[i].path,
        [i](ApiRequest&, ApiResponse& response, const std::function<void()>&) {
          served->handlers_run.push_back(i);
          response.Send("route");
        });
  }
  return tree;
}

std::optional<std::string> TryUrlDecode(std::string_view text) {
  try {
    return UrlDecode(text);
  } catch (const UrlDecodeError&) {
    return std::nullopt;
  }
}

void CheckDispatch(std::string_view method, std::string_view target) {
  static const Reference reference;
  static const std::unique_ptr<ApiRouterTree> tree = BuildTree();
  RawRequest raw;
  raw.method = std::string(method);
  raw.raw_path = std::string(target.substr(0, target.find('?')));
  if (raw.raw_path.empty() || raw.raw_path.front() != '/') {
    raw.raw_path.insert(0, "/");
  }
  raw.path_info = DecodePathLenient(raw.raw_path);
  const std::vector<std::string_view> segments = Segments(raw.raw_path);
  const Expected expected =
      reference.Dispatch(MethodTypeFromToken(method), segments);
  bool malformed = false;
  for (const auto& [name, segment] : expected.params) {
    malformed = malformed || !TryUrlDecode(segment);
  }

  Served run;
  served = &run;
  ApiRequest request(raw);
  RawResponse raw_response;
  ApiResponse response(raw_response);
  bool threw = false;
  try {
    tree->Execute(request, response);
  } catch (const UrlDecodeError&) {
    threw = true;
  }
  served = nullptr;

  fuzz::Require(threw == malformed,
                "a malformed escape in a parameter, and only that, fails");
  fuzz::Require(run.middleware_runs == 1, "the middleware runs once");
  if (threw) return;
  if (expected.route < 0) {
    fuzz::Require(run.handlers_run.empty(), "no handler runs");
  } else {
    fuzz::Require(run.handlers_run == std::vector<int>{expected.route},
                  "the reference's handler runs, once");
  }
  fuzz::Require(raw_response.status_code == expected.status,
                "the status is the reference's");
  ApiDictionary params;
  for (const auto& [name, segment] : expected.params) {
    params.AddOrSetValue(name, *TryUrlDecode(segment));
  }
  fuzz::Require(std::equal(params.begin(), params.end(),
                           request.Params().begin(), request.Params().end()),
                "the parameters are the decoded segments");
}

std::string PercentEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                            c == '_' || c == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
  return out;
}

void CheckDecoding(std::string_view bytes) {
  const std::string lenient = DecodePathLenient(bytes);
  fuzz::Require(IsValidUtf8(lenient), "a decoded path is UTF-8");
  if (const auto strict = TryUrlDecode(bytes)) {
    fuzz::Require(IsValidUtf8(*strict), "a decoded text is UTF-8");
  }
  const std::string encoded = PercentEncode(bytes);
  const std::string utf8 = SanitizeUtf8(bytes);
  fuzz::Require(TryUrlDecode(encoded) == utf8,
                "decoding undoes percent-encoding");
  fuzz::Require(DecodePathLenient(encoded) == utf8,
                "lenient decoding undoes percent-encoding");
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view rest = norvessa::fuzz::AsText(data, size);
  const std::string_view method = norvessa::fuzz::TakeLine(rest);
  norvessa::CheckDispatch(method, rest);
  norvessa::CheckDecoding(rest);
  return 0;
}
