#include "framework/api_exception.h"

#include <utility>

namespace norvessa {

ApiException::ApiException(std::string error, HTTPStatus status,
                           std::string title, std::string unit,
                           std::int32_t code, MessageType type)
    : error_(std::move(error)),
      status_(status),
      unit_(std::move(unit)),
      code_(code),
      title_(std::move(title)),
      type_(type) {}

}  // namespace norvessa
