#ifndef NORVESSA_FRAMEWORK_API_CALLBACK_H_
#define NORVESSA_FRAMEWORK_API_CALLBACK_H_

#include <functional>

namespace norvessa {

class ApiRequest;
class ApiResponse;

// Middleware and route handlers share this one type; calling `next`
// continues the chain.
using ApiCallback = std::function<void(ApiRequest&, ApiResponse&,
                                       const std::function<void()>& next)>;

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_CALLBACK_H_
