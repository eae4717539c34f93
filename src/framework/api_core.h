#ifndef NORVESSA_FRAMEWORK_API_CORE_H_
#define NORVESSA_FRAMEWORK_API_CORE_H_

#include <string>
#include <string_view>
#include <vector>

#include "framework/api_callback.h"
#include "framework/method_type.h"
#include "framework/router_tree.h"

namespace norvessa {

// One registered route: its method and its path as registered
// ("/pedidos/:idpedido").
struct RouteEntry {
  MethodType method;
  std::string pattern;

  friend bool operator==(const RouteEntry&, const RouteEntry&) = default;
};

// The route registry: the route tree and the global middleware. Filled on
// one thread before serving; then many threads run Execute at once.
class ApiCore {
 public:
  ApiCore() = default;
  ApiCore(const ApiCore&) = delete;
  ApiCore& operator=(const ApiCore&) = delete;
  virtual ~ApiCore() = default;

  ApiCore& Get(std::string_view path, ApiCallback callback);
  ApiCore& Put(std::string_view path, ApiCallback callback);
  ApiCore& Post(std::string_view path, ApiCallback callback);
  ApiCore& Head(std::string_view path, ApiCallback callback);
  ApiCore& Delete(std::string_view path, ApiCallback callback);
  ApiCore& Patch(std::string_view path, ApiCallback callback);
  // Several callbacks for one route run as one handler list, in order, so
  // route-level middleware is simply an earlier handler.
  ApiCore& Get(std::string_view path, std::vector<ApiCallback> callbacks);
  ApiCore& Post(std::string_view path, std::vector<ApiCallback> callbacks);

  // Global middleware, run for every request in registration order.
  ApiCore& Use(ApiCallback callback);
  ApiCore& Use(std::vector<ApiCallback> callbacks);

  // Removes every "/" at both ends of `path` and puts one in front.
  ApiCore& RegisterRoute(MethodType method, std::string_view path,
                         ApiCallback callback);

  const ApiRouterTree& GetRoutes() const { return root_; }
  // Every route registered, in registration order, once per method and
  // pattern.
  const std::vector<RouteEntry>& RouteList() const { return route_list_; }
  bool Execute(ApiRequest& request, ApiResponse& response) const {
    return root_.Execute(request, response);
  }

 private:
  ApiRouterTree root_;
  std::vector<RouteEntry> route_list_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_CORE_H_
