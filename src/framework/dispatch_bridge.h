#ifndef NORVESSA_FRAMEWORK_DISPATCH_BRIDGE_H_
#define NORVESSA_FRAMEWORK_DISPATCH_BRIDGE_H_

#include <string>
#include <string_view>

#include "framework/api_core.h"
#include "framework/raw_http.h"
#include "framework/request_metrics.h"

namespace norvessa {

// The answer (status 500) when the chain is full; two blanks after the
// full stop.
inline constexpr std::string_view kMaxConnectionsMessage =
    "Maximum number of concurrent connections exceeded.  Please try again "
    "later";

// Wraps one raw exchange into ApiRequest and ApiResponse and runs the
// route registry on it. An ApiCallbackInterrupted ends the exchange with
// the response as the chain left it; any other error that escapes the chain
// becomes the HTML error page with status 500.
// With `metrics`, the request is counted there by the route that took it.
void DispatchRequest(const ApiCore& core, const RawRequest& raw_request,
                     RawResponse& raw_response,
                     RequestMetrics* metrics = nullptr);

// The HTML error page; message and path are escaped as HTML.
std::string ErrorPage(std::string_view message, std::string_view path);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_DISPATCH_BRIDGE_H_
