#ifndef NORVESSA_MIDDLEWARE_JSON_BODY_H_
#define NORVESSA_MIDDLEWARE_JSON_BODY_H_

#include <functional>
#include <string>
#include <string_view>

#include "framework/api_callback.h"

namespace norvessa {

// The JSON body middleware with the charset "UTF-8".
ApiCallback JsonBody();
// Sets the process-wide charset (for every registered instance) and returns
// the middleware.
ApiCallback JsonBody(std::string_view charset);

// On the way in, a PUT, POST or PATCH whose Content-Type is exactly
// "application/json" gets its body parsed into the body object (nothing
// when the text is not valid JSON). On the way out, also when the chain
// raised, a content object is written as JSON text with the content type
// "application/json; charset=" and the charset.
void JsonBodyMiddleware(ApiRequest& request, ApiResponse& response,
                        const std::function<void()>& next);

// The charset the middleware writes, "UTF-8" until set otherwise.
std::string JsonBodyCharset();

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_JSON_BODY_H_
