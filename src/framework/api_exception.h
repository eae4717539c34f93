#ifndef NORVESSA_FRAMEWORK_API_EXCEPTION_H_
#define NORVESSA_FRAMEWORK_API_EXCEPTION_H_

#include <cstdint>
#include <exception>
#include <string>

#include "framework/http_status.h"
#include "framework/message_type.h"

namespace norvessa {

// An error that carries its own HTTP status and structured fields; the
// exception middleware turns it into the error object. Its general message
// (what()) stays empty: the text lives in error().
class ApiException : public std::exception {
 public:
  ApiException() = default;
  explicit ApiException(std::string error,
                        HTTPStatus status = HTTPStatus::kBadRequest,
                        std::string title = {}, std::string unit = {},
                        std::int32_t code = 0,
                        MessageType type = MessageType::kDefault);

  const char* what() const noexcept override { return ""; }

  const std::string& error() const { return error_; }
  HTTPStatus status() const { return status_; }
  const std::string& unit() const { return unit_; }
  std::int32_t code() const { return code_; }
  const std::string& title() const { return title_; }
  MessageType type() const { return type_; }

 private:
  std::string error_;
  HTTPStatus status_ = HTTPStatus::kBadRequest;
  std::string unit_;
  std::int32_t code_ = 0;
  std::string title_;
  MessageType type_ = MessageType::kDefault;
};

// Ends an exchange quietly: the response goes out as the chain left it.
class ApiCallbackInterrupted : public std::exception {
 public:
  const char* what() const noexcept override { return ""; }
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_EXCEPTION_H_
