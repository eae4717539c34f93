#include "framework/method_type.h"

namespace norvessa {

MethodType MethodTypeFromToken(std::string_view token) {
  if (token == "GET") return MethodType::kGet;
  if (token == "PUT") return MethodType::kPut;
  if (token == "POST") return MethodType::kPost;
  if (token == "HEAD") return MethodType::kHead;
  if (token == "DELETE") return MethodType::kDelete;
  if (token == "PATCH") return MethodType::kPatch;
  return MethodType::kAny;
}

}  // namespace norvessa
