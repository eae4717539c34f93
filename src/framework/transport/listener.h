#ifndef NORVESSA_FRAMEWORK_TRANSPORT_LISTENER_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_LISTENER_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstdint>
#include <memory>

#include "framework/transport/transport_context.h"

namespace norvessa::transport {

// Accepts connections on one bound socket and starts a session for each.
class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(boost::asio::io_context& io, boost::asio::ip::tcp::acceptor acceptor,
           std::shared_ptr<TransportContext> context);

  void Run();
  // Stops accepting; returns once the socket is closed.
  void Close();
  std::uint16_t port() const { return port_; }

 private:
  void Accept();
  void OnAccept(boost::system::error_code ec,
                boost::asio::ip::tcp::socket socket);

  boost::asio::io_context& io_;
  // Accepting, retrying and closing run in turn, whichever I/O thread
  // takes them.
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_;
  std::shared_ptr<TransportContext> context_;
  std::uint16_t port_ = 0;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_LISTENER_H_
