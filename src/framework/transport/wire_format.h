#ifndef NORVESSA_FRAMEWORK_TRANSPORT_WIRE_FORMAT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_WIRE_FORMAT_H_

#include <boost/beast/http/message.hpp>
#include <string>

#include "framework/raw_http.h"

namespace norvessa::transport {

// The request as the handler chain gets it: the method upper-cased (a POST
// takes the first override header present), the target split at its first
// "?", the path percent-decoded, the headers in arrival order. The remote
// fields are left to the session.
RawRequest ToRawRequest(const boost::beast::http::request_header<>& header,
                        std::string body);

// Status line, headers and body of one answer, taking the body out of
// `raw`. A response without any body gets the small HTML page of its
// status, except for HEAD and the statuses that never carry one; a body
// without a content type is HTML in UTF-8.
std::string Serialize(RawResponse& raw, bool head_request);

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_WIRE_FORMAT_H_
