#include "framework/transport/listener.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <future>
#include <utility>

#include "framework/transport/session.h"

namespace norvessa::transport {

namespace net = boost::asio;

Listener::Listener(net::io_context& io, net::ip::tcp::acceptor acceptor,
                   std::shared_ptr<TransportContext> context)
    : io_(io),
      acceptor_(std::move(acceptor)),
      retry_(acceptor_.get_executor()),
      context_(std::move(context)) {
  boost::system::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
}

void Listener::Run() {
  net::post(acceptor_.get_executor(),
            [self = shared_from_this()] { self->Accept(); });
}

void Listener::Close() {
  std::promise<void> closed;
  net::post(acceptor_.get_executor(), [self = shared_from_this(), &closed] {
    boost::system::error_code ec;
    self->retry_.cancel();
    self->acceptor_.close(ec);
    closed.set_value();
  });
  closed.get_future().wait();
}

void Listener::Accept() {
  acceptor_.async_accept(
      net::make_strand(io_),
      [self = shared_from_this()](boost::system::error_code ec,
                                  net::ip::tcp::socket socket) {
        self->OnAccept(ec, std::move(socket));
      });
}

void Listener::OnAccept(boost::system::error_code ec,
                        net::ip::tcp::socket socket) {
  if (!acceptor_.is_open() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors or a similar passing condition: try again shortly
    // instead of spinning.
    retry_.expires_after(std::chrono::milliseconds(50));
    retry_.async_wait([self = shared_from_this()](boost::system::error_code e) {
      if (!e) self->Accept();
    });
    return;
  }
  std::make_shared<Session>(std::move(socket), context_)->Run();
  Accept();
}

}  // namespace norvessa::transport
