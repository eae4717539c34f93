#include "framework/api_core.h"

#include <algorithm>
#include <string>
#include <utility>

namespace norvessa {

ApiCore& ApiCore::Get(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kGet, path, std::move(callback));
}

ApiCore& ApiCore::Put(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kPut, path, std::move(callback));
}

ApiCore& ApiCore::Post(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kPost, path, std::move(callback));
}

ApiCore& ApiCore::Head(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kHead, path, std::move(callback));
}

ApiCore& ApiCore::Delete(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kDelete, path, std::move(callback));
}

ApiCore& ApiCore::Patch(std::string_view path, ApiCallback callback) {
  return RegisterRoute(MethodType::kPatch, path, std::move(callback));
}

ApiCore& ApiCore::Get(std::string_view path,
                      std::vector<ApiCallback> callbacks) {
  for (auto& c : callbacks) Get(path, std::move(c));
  return *this;
}

ApiCore& ApiCore::Post(std::string_view path,
                       std::vector<ApiCallback> callbacks) {
  for (auto& c : callbacks) Post(path, std::move(c));
  return *this;
}

ApiCore& ApiCore::Use(ApiCallback callback) {
  root_.RegisterMiddleware(std::move(callback));
  return *this;
}

ApiCore& ApiCore::Use(std::vector<ApiCallback> callbacks) {
  for (auto& c : callbacks) Use(std::move(c));
  return *this;
}

ApiCore& ApiCore::RegisterRoute(MethodType method, std::string_view path,
                                ApiCallback callback) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  RouteEntry entry{method, "/" + std::string(path)};
  root_.RegisterRoute(method, entry.pattern, std::move(callback));
  if (std::find(route_list_.begin(), route_list_.end(), entry) ==
      route_list_.end()) {
    route_list_.push_back(std::move(entry));
  }
  return *this;
}

}  // namespace norvessa
