#ifndef NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "framework/raw_http.h"
#include "framework/transport/request_reader.h"
#include "framework/transport/transport_context.h"

namespace norvessa::transport {

// One connection: read one request, hand it to the worker pool, write the
// answer, close. Every socket operation runs on the session's strand,
// except that a worker checks for the client and writes a short answer
// itself while the strand has nothing pending.
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

  void Read();
  void OnRead(boost::beast::error_code ec, std::size_t n);
  void Serve();
  // The busy answer for a request the server has no room for, which the
  // request log is told about.
  void Refuse(RawRequest request);
  // 403 {"error":"Forbidden"} to a client whose address is not allowed;
  // the chain never sees the request.
  void Forbid(RawRequest request);
  void AddEndpoints(RawRequest& request);
  // True when the client has closed or reset its side.
  bool ClientGone();
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
  RequestReader reader_;
  // The request's share of the body budget.
  BodyLease body_;
  std::chrono::steady_clock::time_point deadline_;
  bool header_seen_ = false;
  bool head_request_ = false;
  std::string out_;  // the answer on the wire
  // Reads of the request, and of what the client sends after the answer.
  std::array<char, 4096> buffer_{};
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
