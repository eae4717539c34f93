#ifndef NORVESSA_MIDDLEWARE_HANDLE_EXCEPTION_H_
#define NORVESSA_MIDDLEWARE_HANDLE_EXCEPTION_H_

#include <functional>

#include "framework/api_callback.h"
#include "json/json_value.h"

namespace norvessa {

// Turns an exception that escapes the rest of the chain into the error
// object: an ApiException gives "error", "title", "unit", "code", "type"
// with its own status; any other std::exception gives {"error": message}
// with 500. ApiCallbackInterrupted and non-standard exceptions pass on.
void HandleException(ApiRequest& request, ApiResponse& response,
                     const std::function<void()>& next);

// Stores the object as the content object, then sets the status.
void SendError(ApiResponse& response, JsonValue json, int status);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_HANDLE_EXCEPTION_H_
