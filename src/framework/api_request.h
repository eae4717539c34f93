#ifndef NORVESSA_FRAMEWORK_API_REQUEST_H_
#define NORVESSA_FRAMEWORK_API_REQUEST_H_

#include <optional>
#include <string>
#include <string_view>

#include "framework/api_dictionary.h"
#include "framework/method_type.h"
#include "framework/raw_http.h"
#include "json/json_document.h"

namespace norvessa {

// The request side of one exchange, over the transport's raw request. The
// parsed views are built on first use and kept for the exchange.
class ApiRequest {
 public:
  explicit ApiRequest(const RawRequest& raw) : raw_(raw) {}
  ApiRequest(const ApiRequest&) = delete;
  ApiRequest& operator=(const ApiRequest&) = delete;

  // The body bytes as text, in the charset the Content-Type names; decoded
  // again on every call.
  std::string Body() const;
  // Stores the body as parsed (nothing: the body is not valid JSON).
  ApiRequest& Body(std::optional<JsonDocument> document);
  // The parsed body, or nullptr when none was stored.
  const JsonDocument* BodyObject() const { return body_ ? &*body_ : nullptr; }
  // Whether the body went through the parser at all (and failed when
  // BodyObject() is nullptr): handlers then load it without parsing it
  // again.
  bool BodyParsed() const { return body_parsed_; }

  ApiDictionary& Params() { return params_; }
  // Fails with "Duplicates not allowed" or an URL decoding error the first
  // time; later calls return what was built before the failure.
  const ApiDictionary& Query();
  const ApiDictionary& ContentFields();
  const ApiDictionary& Cookie();

  // The first header of that name, without regard to case; "" if none.
  std::string_view Headers(std::string_view name) const {
    return raw_.Header(name);
  }

  norvessa::MethodType MethodType() const {
    return MethodTypeFromToken(raw_.method);
  }

  const RawRequest& RawWebRequest() const { return raw_; }

  // The pattern of the route that took the request, as it was registered
  // ("/pedidos/:idpedido"); empty while no route took it. The text belongs
  // to the route tree.
  std::string_view RoutePattern() const { return route_pattern_; }
  void SetRoutePattern(std::string_view pattern) { route_pattern_ = pattern; }

 private:
  const RawRequest& raw_;
  std::optional<ApiDictionary> query_;
  ApiDictionary params_;
  std::optional<ApiDictionary> content_fields_;
  std::optional<ApiDictionary> cookie_;
  std::optional<JsonDocument> body_;
  bool body_parsed_ = false;
  std::string_view route_pattern_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_REQUEST_H_
