#ifndef NORVESSA_FRAMEWORK_MESSAGE_TYPE_H_
#define NORVESSA_FRAMEWORK_MESSAGE_TYPE_H_

#include <string_view>

namespace norvessa {

enum class MessageType { kDefault, kError, kWarning, kInformation };

// The member name: "Default", "Error", "Warning" or "Information".
std::string_view ToString(MessageType type);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_MESSAGE_TYPE_H_
