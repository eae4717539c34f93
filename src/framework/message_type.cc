#include "framework/message_type.h"

namespace norvessa {

std::string_view ToString(MessageType type) {
  switch (type) {
    case MessageType::kError:
      return "Error";
    case MessageType::kWarning:
      return "Warning";
    case MessageType::kInformation:
      return "Information";
    case MessageType::kDefault:
      break;
  }
  return "Default";
}

}  // namespace norvessa
