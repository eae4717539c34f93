#ifndef NORVESSA_FRAMEWORK_HTTP_STATUS_H_
#define NORVESSA_FRAMEWORK_HTTP_STATUS_H_

#include <cstdint>
#include <string_view>

namespace norvessa {

// The ordinal of each member is its HTTP status code.
enum class HTTPStatus : std::uint16_t {
  kContinue = 100,
  kSwitchingProtocols = 101,
  kProcessing = 102,
  kOK = 200,
  kCreated = 201,
  kAccepted = 202,
  kNonAuthoritativeInformation = 203,
  kNoContent = 204,
  kResetContent = 205,
  kPartialContent = 206,
  kMultiStatus = 207,
  kAlreadyReported = 208,
  kIMUsed = 226,
  kMultipleChoices = 300,
  kMovedPermanently = 301,
  kFound = 302,
  kSeeOther = 303,
  kNotModified = 304,
  kUseProxy = 305,
  kTemporaryRedirect = 307,
  kPermanentRedirect = 308,
  kBadRequest = 400,
  kUnauthorized = 401,
  kPaymentRequired = 402,
  kForbidden = 403,
  kNotFound = 404,
  kMethodNotAllowed = 405,
  kNotAcceptable = 406,
  kProxyAuthenticationRequired = 407,
  kRequestTimeout = 408,
  kConflict = 409,
  kGone = 410,
  kLengthRequired = 411,
  kPreconditionFailed = 412,
  kPayloadTooLarge = 413,
  kRequestURITooLong = 414,
  kUnsupportedMediaType = 415,
  kRequestedRangeNotSatisfiable = 416,
  kExpectationFailed = 417,
  kImateapot = 418,
  kMisdirectedRequest = 421,
  kUnprocessableEntity = 422,
  kLocked = 423,
  kFailedDependency = 424,
  kUpgradeRequired = 426,
  kPreconditionRequired = 428,
  kTooManyRequests = 429,
  kRequestHeaderFieldsTooLarge = 431,
  kConnectionClosedWithoutResponse = 444,
  kUnavailableForLegalReasons = 451,
  kClientClosedRequest = 499,
  kInternalServerError = 500,
  kNotImplemented = 501,
  kBadGateway = 502,
  kServiceUnavailable = 503,
  kGatewayTimeout = 504,
  kHTTPVersionNotSupported = 505,
  kVariantAlsoNegotiates = 506,
  kInsufficientStorage = 507,
  kLoopDetected = 508,
  kNotExtended = 510,
  kNetworkAuthenticationRequired = 511,
  kNetworkConnectTimeoutError = 599,
};

constexpr int ToInteger(HTTPStatus status) { return static_cast<int>(status); }

// The reason text of the status line; "Unknown" for codes without one.
std::string_view ReasonPhrase(int code);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_HTTP_STATUS_H_
