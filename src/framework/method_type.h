#ifndef NORVESSA_FRAMEWORK_METHOD_TYPE_H_
#define NORVESSA_FRAMEWORK_METHOD_TYPE_H_

#include <string_view>

namespace norvessa {

// The method of a request and of a registration, in this order.
enum class MethodType { kAny, kGet, kPut, kPost, kHead, kDelete, kPatch };

// Compared exactly and with case; any other token is kAny.
MethodType MethodTypeFromToken(std::string_view token);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_METHOD_TYPE_H_
