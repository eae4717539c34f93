#include "middleware/handle_exception.h"

#include <exception>
#include <utility>

#include "framework/api_exception.h"
#include "framework/api_response.h"
#include "framework/message_type.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

JsonValue ErrorObject(const ApiException& e) {
  JsonValue json = JsonValue::Object();
  json.AddPair("error", JsonValue::String(e.error()));
  if (!TrimBlanks(e.title()).empty()) {
    json.AddPair("title", JsonValue::String(e.title()));
  }
  if (!TrimBlanks(e.unit()).empty()) {
    json.AddPair("unit", JsonValue::String(e.unit()));
  }
  if (e.code() != 0) json.AddPair("code", JsonValue::Number(e.code()));
  if (e.type() != MessageType::kDefault) {
    json.AddPair("type", JsonValue::String(std::string(ToString(e.type()))));
  }
  return json;
}

}  // namespace

void SendError(ApiResponse& response, JsonValue json, int status) {
  response.Send(std::move(json));
  response.Status(status);
}

void HandleException(ApiRequest&, ApiResponse& response,
                     const std::function<void()>& next) {
  try {
    next();
  } catch (const ApiCallbackInterrupted&) {
    throw;
  } catch (const ApiException& e) {
    SendError(response, ErrorObject(e), ToInteger(e.status()));
  } catch (const std::exception& e) {
    JsonValue json = JsonValue::Object();
    json.AddPair("error", JsonValue::String(e.what()));
    SendError(response, std::move(json), 500);
  }
}

}  // namespace norvessa
