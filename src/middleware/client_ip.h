#ifndef NORVESSA_MIDDLEWARE_CLIENT_IP_H_
#define NORVESSA_MIDDLEWARE_CLIENT_IP_H_

#include <string>

#include "framework/api_request.h"

namespace norvessa {

// The client's address: the first of these that is not blank, trimmed —
// the headers HTTP_CLIENT_IP, HTTP_X_FORWARDED_FOR and x-forwarded-for
// (their first non-blank element), HTTP_X_FORWARDED,
// HTTP_X_CLUSTER_CLIENT_IP, HTTP_FORWARDED_FOR, HTTP_FORWARDED,
// REMOTE_ADDR, then the peer's address and the header REMOTE_HOST.
std::string ClientIP(const ApiRequest& request);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_CLIENT_IP_H_
