#ifndef NORVESSA_MIDDLEWARE_CLIENT_IP_H_
#define NORVESSA_MIDDLEWARE_CLIENT_IP_H_

#include <string>

#include "framework/api_request.h"

namespace norvessa {

// The client's address. When the request came through a listed proxy, the
// address the allow-list judged; otherwise the first of these that is not
// blank, trimmed (any client can claim any of the headers) —
// the headers HTTP_CLIENT_IP, HTTP_X_FORWARDED_FOR and x-forwarded-for
// (their first non-blank element), HTTP_X_FORWARDED,
// HTTP_X_CLUSTER_CLIENT_IP, HTTP_FORWARDED_FOR, HTTP_FORWARDED,
// REMOTE_ADDR, then the peer's address and the header REMOTE_HOST.
std::string ClientIP(const ApiRequest& request);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_CLIENT_IP_H_
