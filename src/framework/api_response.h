#ifndef NORVESSA_FRAMEWORK_API_RESPONSE_H_
#define NORVESSA_FRAMEWORK_API_RESPONSE_H_

#include <cstdint>
#include <optional>
#include <string>

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

  // Replaces the raw content text.
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

  // Sets the content object; nothing clears it.
  ApiResponse& Content(std::optional<JsonValue> object);
  // Whether there is a content object, without reading one given as text.
  bool HasContent() const { return content_.has_value() || content_is_text_; }
  // The content object, or nullptr.
  JsonValue* Content();
  const JsonValue* Content() const;
  // Moves the content object out, leaving none.
  std::optional<JsonValue> TakeContent();

  RawResponse& RawWebResponse() { return raw_; }
  const RawResponse& RawWebResponse() const { return raw_; }

  // The raw content text now holds the content object's JSON text; any
  // later change of object or text forgets it. Lets a later middleware use
  // the text instead of writing the object out again.
  void MarkContentWritten() { written_ = generation_; }
  bool ContentWritten() const {
    return HasContent() && written_ == generation_;
  }

 private:
  // Reads the content object from the raw content where it was given as
  // text.
  void ReadContentText() const;

  RawResponse& raw_;
  mutable std::optional<JsonValue> content_;
  // The content object is the JSON text in the raw content, not yet read.
  mutable bool content_is_text_ = false;
  std::uint64_t generation_ = 1;
  std::uint64_t written_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_RESPONSE_H_
