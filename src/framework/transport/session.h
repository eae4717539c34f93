#ifndef NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
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

// Where a connection comes from, as the listener found it at accept.
struct Peer {
  IpAddress address{};
  std::string text;  // the peer's address as the request gives it
  std::uint16_t port = 0;
  std::uint16_t local_port = 0;
  // Counted against the connections one address may hold.
  bool counted = false;
};

// One connection: read one request, hand it to the worker pool, write the
// answer, close. Every socket operation runs on the session's strand,
// except that a worker checks for the client and writes a short answer
// itself while the strand has nothing pending.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket&& socket,
          std::shared_ptr<TransportContext> context, Peer peer);
  ~Session();

  void Run();
  // Closes the connection from any thread; with `idle_only`, only when no
  // request of it is being served, waits or is answered.
  void Close(bool idle_only);
  // From any thread: the slot this waiting request asked for is its own
  // now.
  void SlotGranted();
  // From any thread: the server stops, and this waiting request gets the
  // busy answer.
  void StopWaiting();

 private:
  enum class State { kReading, kWaiting, kServing, kWriting, kClosing };

  void Read();
  void OnRead(boost::beast::error_code ec, std::size_t n);
  // The head is complete: the request is judged by who sent it, its
  // origin and its host, and turned away now when the server has no room
  // for it. False when it has been answered.
  bool AdmitHead();
  void Serve();
  void Wait(std::shared_ptr<RawRequest> request);
  void WatchWhileWaiting();
  void Dispatch(std::shared_ptr<RawRequest> request);
  // The busy answer for a request the server has no room for, which the
  // request log is told about.
  void Refuse(RawRequest request);
  // An answer given without the chain (403, 421, the reader's errors),
  // which the request log is told about.
  void Reject(RawRequest request, RawResponse response);
  // The reader refused what arrived.
  void RejectMalformed(int status);
  void AddEndpoints(RawRequest& request) const;
  // True when the client has closed or reset its side.
  bool ClientGone();
  void Reply(RawResponse response);
  void Finish(RawResponse response);
  void WriteFrom(std::size_t offset);
  void OnWrite(boost::beast::error_code ec);
  void Drain();
  void Shut();

  boost::beast::tcp_stream stream_;
  std::shared_ptr<TransportContext> context_;
  const Peer peer_;
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
  // The address the allow-list judged, when a listed proxy forwarded the
  // request; empty otherwise.
  std::string judged_client_;
  // A request waiting for a slot, and the end of its wait.
  std::shared_ptr<RawRequest> waiting_;
  boost::asio::steady_timer wait_timer_;
  // The drain's limits.
  std::chrono::steady_clock::time_point drain_until_;
  std::uint64_t drained_ = 0;
  std::string out_;  // the answer on the wire
  // Reads of the request, and of what the client sends after the answer.
  std::array<char, 4096> buffer_{};
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_SESSION_H_
