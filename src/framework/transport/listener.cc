#include "framework/transport/listener.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/errc.hpp>
#include <future>
#include <string>
#include <utility>

#include "framework/transport/session.h"

namespace norvessa::transport {

namespace net = boost::asio;

constexpr std::chrono::milliseconds kRetryAfter{50};

Listener::Listener(net::io_context& io, net::ip::tcp::acceptor acceptor,
                   std::shared_ptr<TransportContext> context)
    : io_(io),
      strand_(net::make_strand(io)),
      acceptor_(std::move(acceptor)),
      retry_(strand_),
      context_(std::move(context)) {
  boost::system::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
}

void Listener::Run() {
  net::post(strand_, [self = shared_from_this()] { self->Accept(); });
}

void Listener::Close() {
  std::promise<void> closed;
  net::post(strand_, [self = shared_from_this(), &closed] {
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
      net::bind_executor(
          strand_, [self = shared_from_this()](boost::system::error_code ec,
                                               net::ip::tcp::socket socket) {
            self->OnAccept(ec, std::move(socket));
          }));
}

void Listener::OnAccept(boost::system::error_code ec,
                        net::ip::tcp::socket socket) {
  if (!acceptor_.is_open() || ec == net::error::operation_aborted) return;
  auto& ctx = *context_;
  if (ec) {
    ctx.stats->accept_failures.fetch_add(1);
    if (ec == net::error::no_descriptors ||
        ec == boost::system::errc::too_many_files_open_in_system) {
      ctx.descriptor_line.Seen([&] {
        return "Out of file descriptors accepting a connection (" +
               ec.message() + ") with " +
               std::to_string(ctx.open_connections.load()) +
               " connections open: new ones wait in the backlog";
      });
    }
    // The connection stays queued and the socket stays readable: wait a
    // little rather than fail again at once, over and over.
    retry_.expires_after(kRetryAfter);
    retry_.async_wait([self = shared_from_this()](boost::system::error_code e) {
      if (!e) self->Accept();
    });
    return;
  }
  const int limit = ctx.max_connections.load();
  const std::string& name = ctx.options.name;
  if (ctx.open_connections.load() >= limit) {
    ctx.stats->closed_at_cap.fetch_add(1);
    ctx.cap_line.Seen([limit, &name] {
      return name + " listener: connection limit of " + std::to_string(limit) +
             " reached: new connections are closed at once";
    });
    // Past the limit a connection costs a descriptor only for a moment.
    boost::system::error_code ignored;
    socket.close(ignored);
    return Accept();
  }
  Peer peer;
  boost::system::error_code peer_ec;
  const auto remote = socket.remote_endpoint(peer_ec);
  if (!peer_ec) {
    peer.text = remote.address().to_string();
    peer.port = remote.port();
    if (const auto address = ParseIpAddress(peer.text)) peer.address = *address;
  }
  const auto local = socket.local_endpoint(peer_ec);
  if (!peer_ec) peer.local_port = local.port();
  // One address may not hold every connection; a listed proxy speaks for
  // many clients and is exempt.
  const int per_address = ctx.options.max_connections_per_address;
  const bool exempt =
      ctx.options.access && ctx.options.access->proxies.Contains(peer.address);
  if (per_address > 0 && !exempt) {
    if (!ctx.peers.TryAdd(peer.address, per_address)) {
      ctx.stats->closed_per_address.fetch_add(1);
      ctx.peer_cap_line.Seen([per_address, &name, &peer] {
        return name + " listener: " + peer.text + " holds " +
               std::to_string(per_address) +
               " connections (MaxConexoesPorIP): its new ones are closed at "
               "once";
      });
      boost::system::error_code ignored;
      socket.close(ignored);
      return Accept();
    }
    peer.counted = true;
  }
  std::make_shared<Session>(std::move(socket), context_, std::move(peer))
      ->Run();
  Accept();
}

}  // namespace norvessa::transport
