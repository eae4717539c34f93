#ifndef NORVESSA_FRAMEWORK_TRANSPORT_REQUEST_READER_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_REQUEST_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "framework/raw_http.h"
#include "framework/transport/http_transport.h"

namespace norvessa::transport {

struct ReadOutcome {
  enum class Kind { kRequest, kNeedMore, kError };
  Kind kind = Kind::kNeedMore;
  // kRequest: what the handler chain would get (remote fields empty).
  RawRequest request;
  // kError: the status answered (400, 413, 431, 501).
  int status = 0;
};

// One HTTP/1.1 request from `bytes` with the server's own parser settings,
// limits and framing rules.
ReadOutcome ReadHttpRequest(std::string_view bytes,
                            const TransportOptions& options);

// Reads one request as its bytes arrive, in pieces of any size; a session
// and ReadHttpRequest both read through it, so the wire rules live here
// only. The outcome never depends on how the bytes were cut into pieces.
class RequestReader {
 public:
  enum class Stage { kHeader, kBody, kDone, kError };

  explicit RequestReader(const TransportOptions& options);
  ~RequestReader();
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Takes the next bytes off the wire, all of them: bytes past the end of
  // the request are only counted.
  Stage Feed(std::string_view bytes);
  Stage stage() const;
  // kError: the status to answer.
  int error_status() const;

  // From kBody on: what the header says.
  bool head_request() const;
  bool expects_continue() const;
  std::optional<std::uint64_t> content_length() const;
  // Body bytes held so far.
  std::uint64_t body_bytes() const;
  // Bytes that arrived after the end of the request.
  std::size_t surplus() const;

  // kDone: the request; the reader is spent.
  RawRequest TakeRequest();
  // From kBody on: the request line and headers, without the body (the
  // request log of an exchange refused before its body was read).
  RawRequest HeaderOnly() const;
  // After an error too: the request line (and the headers, when they were
  // all read), or nothing when not even a request line arrived.
  std::optional<RawRequest> RequestLine() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_REQUEST_READER_H_
