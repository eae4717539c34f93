#ifndef NORVESSA_FRAMEWORK_ROUTER_TREE_H_
#define NORVESSA_FRAMEWORK_ROUTER_TREE_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/api_callback.h"
#include "framework/method_type.h"

namespace norvessa {

class ApiRequest;
class ApiResponse;

// The segments of a request path still to be walked; every level of one
// request shares it.
struct PathQueue {
  std::vector<std::string_view> segments;
  std::size_t front = 0;

  bool empty() const { return front >= segments.size(); }
  std::size_t size() const { return segments.size() - front; }
};

// Splits on "/", keeping the first piece whatever it is and later pieces
// only when not empty: "/a//b/" gives "", "a", "b".
PathQueue GetQueuePath(std::string_view path);

// One node of the route tree: a path segment, its handlers per method,
// literal children by exact segment and parameter children in registration
// order. Filled once before serving, then only read.
class ApiRouterTree {
 public:
  ApiRouterTree() = default;
  ApiRouterTree(const ApiRouterTree&) = delete;
  ApiRouterTree& operator=(const ApiRouterTree&) = delete;

  // `path` already normalised to one leading "/".
  void RegisterRoute(MethodType method, std::string_view path,
                     ApiCallback callback);
  void RegisterMiddleware(ApiCallback callback);

  // Runs the middleware and the handlers for the request; answers 404 and
  // 405 itself. Returns whether a node was found.
  bool Execute(ApiRequest& request, ApiResponse& response) const;

 private:
  friend class NextCaller;

  static void RegisterInternal(ApiRouterTree& node, MethodType method,
                               std::deque<std::string>& queue,
                               ApiCallback& callback, std::string_view path);
  static bool ExecuteInternal(const ApiRouterTree& node, PathQueue& queue,
                              MethodType method, ApiRequest& request,
                              ApiResponse& response);
  bool CallNextPath(PathQueue& queue, MethodType method, ApiRequest& request,
                    ApiResponse& response) const;
  bool HasNext(MethodType method, const PathQueue& queue, std::size_t i) const;
  const ApiRouterTree* Child(std::string_view key) const;
  const ApiRouterTree* LiteralChild(std::string_view key) const;

  bool is_initialized_ = false;
  // The registered path that ends at this node, if one does.
  std::string pattern_;
  std::string part_;
  std::string tag_;
  bool is_regex_ = false;
  std::vector<ApiCallback> middleware_;
  // A key repeats once for every registration through that child.
  std::vector<std::string> regexed_keys_;
  std::map<MethodType, std::vector<ApiCallback>> callback_;
  struct SegmentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_map<std::string, std::unique_ptr<ApiRouterTree>, SegmentHash,
                     std::equal_to<>>
      route_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ROUTER_TREE_H_
