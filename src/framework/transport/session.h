#ifndef NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "framework/raw_http.h"
#include "framework/transport/transport_context.h"

namespace norvessa::transport {

// One connection: read one request, hand it to the worker pool, write the
// answer, close. Every socket operation runs on the session's strand.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket&& socket,
          std::shared_ptr<TransportContext> context);
  ~Session();

  void Run();
  // Closes the connection from any thread; with `idle_only`, only when no
  // request of it is being served or answered.
  void Close(bool idle_only);

 private:
  enum class State { kReading, kServing, kWriting, kClosing };

  void ReadHeader();
  void OnHeader(boost::beast::error_code ec);
  void ReadBody();
  void OnBody(boost::beast::error_code ec);
  void OnReadError(boost::beast::error_code ec);
  void Serve();
  void Answer(int status, std::string text);
  void Finish(RawResponse response);
  void WriteFrom(std::size_t offset);
  void OnWrite(boost::beast::error_code ec);
  void Drain();
  void Shut();

  boost::beast::tcp_stream stream_;
  std::shared_ptr<TransportContext> context_;
  std::uint64_t id_ = 0;
  std::atomic<State> state_{State::kReading};
  // Guards closing the socket: the worker, the strand and a forced stop may
  // each close it.
  std::mutex socket_mutex_;
  bool open_ = true;
  boost::beast::flat_buffer buffer_;
  std::optional<
      boost::beast::http::request_parser<boost::beast::http::string_body>>
      parser_;
  bool head_request_ = false;
  std::string out_;  // the answer on the wire
  std::array<char, 4096> drain_buffer_{};
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
