#ifndef NORVESSA_FRAMEWORK_API_RESPONSE_H_
#define NORVESSA_FRAMEWORK_API_RESPONSE_H_

#include <optional>
#include <string>
#include <variant>

#include "framework/http_status.h"
#include "framework/raw_http.h"
#include "json/json_value.h"

namespace norvessa {

// The response side of one exchange, over the transport's raw response.
// A handler either sends a text or leaves a content object (a JSON value)
// that the JSON body middleware writes out when the chain returns.
class ApiResponse {
 public:
  // Sets the status to 200; no content type is set here.
  explicit ApiResponse(RawResponse& raw);
  ApiResponse(const ApiResponse&) = delete;
  ApiResponse& operator=(const ApiResponse&) = delete;

  // Replaces the raw content text; a content object stays.
  ApiResponse& Send(std::string text);
  // Stores the content object.
  ApiResponse& Send(JsonValue object);
  // Stores a content object given as its JSON text in the service's text
  // form: the text is the raw content at once (as if the JSON body
  // middleware had written it), and the object is read back from it only
  // when someone asks for it.
  ApiResponse& SendJsonText(std::string json_text);

  ApiResponse& Status(HTTPStatus status);
  ApiResponse& Status(int status);
  int Status() const { return raw_.status_code; }

  ApiResponse& ContentType(std::string content_type);

  // Sets the content object, or none.
  ApiResponse& Content(std::optional<JsonValue> object);
  // Whether there is a content object, without reading one given as text.
  bool HasContent() const { return !std::holds_alternative<Text>(body_); }
  // The content object, or nullptr. One given as text is read once. Read
  // only: a written text must stay that of its object.
  const JsonValue* Content();
  // Moves the content object out, leaving none.
  std::optional<JsonValue> TakeContent();

  // Whether the raw content text is the content object's JSON text.
  bool ContentWritten() const {
    return std::holds_alternative<JsonText>(body_);
  }
  // Makes the raw content text the content object's JSON text, unless it
  // is already; an object is rendered once however often this is asked.
  void WriteContent();
  // The content object's JSON text, for a middleware that sends it another
  // way: taken out of the raw content when written there (leaving it
  // empty), else made from the object. No content object is left.
  std::string ReleaseJsonText();

  RawResponse& RawWebResponse() { return raw_; }
  const RawResponse& RawWebResponse() const { return raw_; }

 private:
  // No content object: the raw content text, if any, is the whole body.
  struct Text {};
  // A content object whose JSON text is the raw content text: the text is
  // kept once, where the transport sends it from, and the object is read
  // from it the first time someone asks.
  struct JsonText {
    std::optional<JsonValue> object;
  };

  JsonValue& ReadObject(JsonText& written);

  RawResponse& raw_;
  // What stands for the body beside the raw text. A JSON text alternative
  // is only valid while the raw content holds that text: every change of
  // the raw text goes through here.
  std::variant<Text, JsonValue, JsonText> body_;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_RESPONSE_H_
