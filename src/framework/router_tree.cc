#include "framework/router_tree.h"

#include <utility>

#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/http_status.h"
#include "framework/url_decode.h"

namespace norvessa {

PathQueue GetQueuePath(std::string_view path) {
  PathQueue queue;
  std::size_t start = 0;
  bool first = true;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end =
        slash == std::string_view::npos ? path.size() : slash;
    if (first || end > start) {
      queue.segments.push_back(path.substr(start, end - start));
    }
    first = false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return queue;
}

// The cursor that runs one node for one request: its middleware, then
// either the next level down or this node's handlers.
class NextCaller {
 public:
  NextCaller(const ApiRouterTree& node, PathQueue& queue, MethodType method,
             ApiRequest& request, ApiResponse& response, bool& found)
      : node_(node),
        queue_(queue),
        method_(method),
        request_(request),
        response_(response),
        found_(found),
        next_([this] { Next(); }) {}

  void Init() {
    const std::string_view segment = queue_.segments[queue_.front++];
    if (node_.is_regex_) {
      request_.Params().Add(node_.tag_, UrlDecode(segment));
    }
  }

  void Next() {
    ++index_;
    const auto middleware_count = static_cast<int>(node_.middleware_.size());
    if (index_ < middleware_count) {
      found_ = true;
      node_.middleware_[index_](request_, response_, next_);
      // A middleware cannot stop the chain by not calling next.
      if (index_ < middleware_count) Next();
    } else if (!queue_.empty()) {
      found_ = node_.CallNextPath(queue_, method_, request_, response_);
    } else {
      RunHandler();
    }
    if (!found_) response_.Send("Not Found").Status(HTTPStatus::kNotFound);
  }

 private:
  void RunHandler() {
    ++index_callback_;
    const auto list = node_.callback_.find(method_);
    if (!node_.callback_.empty()) request_.SetRoutePattern(node_.pattern_);
    if (list == node_.callback_.end()) {
      if (!node_.callback_.empty()) {
        found_ = true;
        response_.Send("Method Not Allowed")
            .Status(HTTPStatus::kMethodNotAllowed);
      } else {
        response_.Send("Not Found").Status(HTTPStatus::kNotFound);
      }
      return;
    }
    if (index_callback_ >= static_cast<int>(list->second.size())) return;
    found_ = true;
    try {
      list->second[index_callback_](request_, response_, next_);
    } catch (const ApiCallbackInterrupted&) {
      throw;
    } catch (const ApiException&) {
      throw;
    } catch (...) {
      response_.Send("Internal Application Error")
          .Status(HTTPStatus::kInternalServerError);
      throw;
    }
    // Every handler of the route runs, whether or not the last one called
    // next.
    Next();
  }

  const ApiRouterTree& node_;
  PathQueue& queue_;
  const MethodType method_;
  ApiRequest& request_;
  ApiResponse& response_;
  bool& found_;
  int index_ = -1;
  int index_callback_ = -1;
  const std::function<void()> next_;
};

void ApiRouterTree::RegisterRoute(MethodType method, std::string_view path,
                                  ApiCallback callback) {
  const PathQueue split = GetQueuePath(path);
  std::deque<std::string> queue(split.segments.begin(), split.segments.end());
  RegisterInternal(*this, method, queue, callback, path);
}

void ApiRouterTree::RegisterMiddleware(ApiCallback callback) {
  middleware_.push_back(std::move(callback));
}

void ApiRouterTree::RegisterInternal(ApiRouterTree& node, MethodType method,
                                     std::deque<std::string>& queue,
                                     ApiCallback& callback,
                                     std::string_view path) {
  if (!node.is_initialized_) {
    node.part_ = queue.front();
    node.is_regex_ = !node.part_.empty() && node.part_.front() == ':';
    node.tag_ = node.part_.empty() ? std::string() : node.part_.substr(1);
    node.is_initialized_ = true;
  }
  queue.pop_front();
  if (queue.empty()) {
    // A second registration of a method and path appends a second handler.
    node.callback_[method].push_back(std::move(callback));
    node.pattern_ = path;
    return;
  }
  const std::string next = queue.front();
  auto& child = node.route_[next];
  if (!child) child = std::make_unique<ApiRouterTree>();
  RegisterInternal(*child, method, queue, callback, path);
  if (child->is_regex_) node.regexed_keys_.push_back(next);
}

bool ApiRouterTree::Execute(ApiRequest& request, ApiResponse& response) const {
  PathQueue queue = GetQueuePath(request.RawWebRequest().raw_path);
  return ExecuteInternal(*this, queue, request.MethodType(), request, response);
}

bool ApiRouterTree::ExecuteInternal(const ApiRouterTree& node, PathQueue& queue,
                                    MethodType method, ApiRequest& request,
                                    ApiResponse& response) {
  bool found = false;
  NextCaller caller(node, queue, method, request, response, found);
  caller.Init();
  caller.Next();
  return found;
}

const ApiRouterTree* ApiRouterTree::Child(std::string_view key) const {
  const auto it = route_.find(key);
  return it == route_.end() ? nullptr : it->second.get();
}

// A literal child only: parameter children sit in the same map under their
// ":name", which a path segment may spell too.
const ApiRouterTree* ApiRouterTree::LiteralChild(std::string_view key) const {
  const ApiRouterTree* child = Child(key);
  return child != nullptr && !child->is_regex_ ? child : nullptr;
}

bool ApiRouterTree::CallNextPath(PathQueue& queue, MethodType method,
                                 ApiRequest& request,
                                 ApiResponse& response) const {
  const std::string_view segment = queue.segments[queue.front];
  // A literal child is tried alone, so /pedidos/separacao never reaches the
  // :idpedido handler.
  if (const ApiRouterTree* literal = LiteralChild(segment)) {
    return ExecuteInternal(*literal, queue, method, request, response);
  }
  for (const std::string& key : regexed_keys_) {
    const ApiRouterTree* child = Child(key);
    if (child != nullptr && child->HasNext(method, queue, 0)) {
      return ExecuteInternal(*child, queue, method, request, response);
    }
  }
  return false;
}

bool ApiRouterTree::HasNext(MethodType method, const PathQueue& queue,
                            std::size_t i) const {
  const std::size_t count = queue.size();
  if (i >= count) return false;
  if (i + 1 == count) {
    return callback_.contains(method) || method == MethodType::kAny;
  }
  const std::string_view next = queue.segments[queue.front + i + 1];
  if (const ApiRouterTree* literal = LiteralChild(next)) {
    return literal->HasNext(method, queue, i + 1);
  }
  for (const std::string& key : regexed_keys_) {
    const ApiRouterTree* child = Child(key);
    if (child != nullptr && child->HasNext(method, queue, i + 1)) return true;
  }
  return false;
}

}  // namespace norvessa
