#include "middleware/client_ip.h"

#include "text/ascii.h"

namespace norvessa {
namespace {

std::string FirstElement(std::string_view list) {
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view element =
        TrimBlanks(list.substr(start, end - start));
    if (!element.empty()) return std::string(element);
    start = end + 1;
  }
  return {};
}

}  // namespace

std::string ClientIP(const ApiRequest& request) {
  // Behind listed proxies the address they vouch for is the client's; the
  // headers below are whatever the client claims.
  const std::string& judged = request.RawWebRequest().forwarded_client;
  if (!judged.empty()) return judged;
  auto header = [&](std::string_view name) {
    return std::string(TrimBlanks(request.Headers(name)));
  };
  const std::string candidates[] = {
      header("HTTP_CLIENT_IP"),
      FirstElement(request.Headers("HTTP_X_FORWARDED_FOR")),
      FirstElement(request.Headers("x-forwarded-for")),
      header("HTTP_X_FORWARDED"),
      header("HTTP_X_CLUSTER_CLIENT_IP"),
      header("HTTP_FORWARDED_FOR"),
      header("HTTP_FORWARDED"),
      header("REMOTE_ADDR"),
      std::string(TrimBlanks(request.RawWebRequest().remote_addr)),
      std::string(TrimBlanks(request.RawWebRequest().remote_addr)),
      header("REMOTE_HOST"),
  };
  for (const std::string& c : candidates) {
    if (!c.empty()) return c;
  }
  return {};
}

}  // namespace norvessa
