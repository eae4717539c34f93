// The HTTP transport on Boost.Beast: asynchronous accept, reads and writes
// on the I/O threads, the handler chain on a worker pool.

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "framework/transport/http_transport.h"
#include "framework/transport/listener.h"
#include "framework/transport/session.h"
#include "framework/transport/transport_context.h"

namespace norvessa {
namespace transport {

std::uint64_t SessionRegistry::Add(std::weak_ptr<Session> session) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = ++next_id_;
  sessions_.emplace(id, std::move(session));
  return id;
}

void SessionRegistry::Remove(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  sessions_.erase(id);
  if (sessions_.empty()) empty_.notify_all();
}

void SessionRegistry::ForEach(const std::function<void(Session&)>& fn) {
  std::vector<std::shared_ptr<Session>> alive;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, weak] : sessions_) {
      if (auto s = weak.lock()) alive.push_back(std::move(s));
    }
  }
  // Outside the lock: a session released here unregisters itself.
  for (auto& s : alive) fn(*s);
}

bool SessionRegistry::WaitUntilEmpty(
    std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return empty_.wait_until(lock, deadline,
                           [this] { return sessions_.empty(); });
}

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

std::string DescribeEndpoint(const tcp::endpoint& ep) {
  const std::string addr = ep.address().to_string();
  return (ep.address().is_v6() ? "[" + addr + "]" : addr) + ":" +
         std::to_string(ep.port());
}

class BeastTransport final : public HttpTransport {
 public:
  BeastTransport(TransportOptions options, Handler handler)
      : workers_(std::max(1, options.max_in_chain)),
        work_(io_.get_executor()),
        context_(std::make_shared<TransportContext>(
            std::move(options), std::move(handler), workers_)) {
    for (int i = 0; i < std::max(1, context_->options.io_threads); ++i) {
      io_threads_.emplace_back([this] { io_.run(); });
    }
  }

  ~BeastTransport() override {
    Stop();
    work_.reset();
    io_.stop();
    io_threads_.clear();
  }

  void Start(const std::vector<Binding>& bindings,
             std::uint16_t default_port) override {
    std::lock_guard lock(mutex_);
    if (!listeners_.empty()) throw std::runtime_error("Api already listening");
    std::vector<tcp::acceptor> acceptors;
    if (bindings.empty()) {
      acceptors.push_back(Bind(tcp::endpoint(tcp::v4(), default_port)));
      if (auto v6 = TryBindV6Wildcard(default_port)) {
        acceptors.push_back(std::move(*v6));
      }
    } else {
      for (const Binding& b : bindings) {
        acceptors.push_back(Bind(Resolve(b)));
      }
    }
    Launch(std::move(acceptors));
  }

  void StartOn(int native_socket) override {
    std::lock_guard lock(mutex_);
    if (!listeners_.empty()) throw std::runtime_error("Api already listening");
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(native_socket, reinterpret_cast<sockaddr*>(&addr),
                      &len) != 0) {
      throw std::runtime_error("Not a bound socket");
    }
    const tcp protocol = addr.ss_family == AF_INET6 ? tcp::v6() : tcp::v4();
    std::vector<tcp::acceptor> acceptors;
    acceptors.emplace_back(io_, protocol, native_socket);
    Launch(std::move(acceptors));
  }

  void Stop() override {
    std::lock_guard lock(mutex_);
    if (listeners_.empty()) return;
    for (auto& l : listeners_) l->Close();
    listeners_.clear();
    context_->sessions.ForEach([](Session& s) { s.Close(true); });
    const auto deadline =
        std::chrono::steady_clock::now() + context_->options.stop_grace;
    if (!context_->sessions.WaitUntilEmpty(deadline)) {
      context_->sessions.ForEach([](Session& s) { s.Close(false); });
    }
  }

  bool IsListening() const override {
    std::lock_guard lock(mutex_);
    return !listeners_.empty();
  }

  std::vector<std::uint16_t> LocalPorts() const override {
    std::lock_guard lock(mutex_);
    std::vector<std::uint16_t> ports;
    for (const auto& l : listeners_) ports.push_back(l->port());
    return ports;
  }

 private:
  tcp::endpoint Resolve(const Binding& b) {
    boost::system::error_code ec;
    const auto address = net::ip::make_address(b.address, ec);
    if (!ec) return tcp::endpoint(address, b.port);
    tcp::resolver resolver(io_);
    const auto results =
        resolver.resolve(b.address, std::to_string(b.port), ec);
    if (ec || results.empty()) {
      throw std::runtime_error("Could not resolve host " + b.address + ": " +
                               ec.message());
    }
    return *results.begin();
  }

  boost::system::error_code TryBind(const tcp::endpoint& ep, bool v6_only,
                                    tcp::acceptor& acceptor) {
    boost::system::error_code ec;
    acceptor.open(ep.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec && v6_only) acceptor.set_option(net::ip::v6_only(true), ec);
    if (!ec) acceptor.bind(ep, ec);
    if (!ec) acceptor.listen(context_->options.backlog, ec);
    return ec;
  }

  tcp::acceptor Bind(const tcp::endpoint& ep) {
    tcp::acceptor acceptor(io_);
    if (auto ec = TryBind(ep, false, acceptor)) {
      throw std::runtime_error("Could not listen on " + DescribeEndpoint(ep) +
                               ": " + ec.message());
    }
    return acceptor;
  }

  // A host without IPv6 still serves on IPv4; a port in use is an error.
  std::optional<tcp::acceptor> TryBindV6Wildcard(std::uint16_t port) {
    const tcp::endpoint ep(tcp::v6(), port);
    tcp::acceptor acceptor(io_);
    const auto ec = TryBind(ep, true, acceptor);
    if (!ec) return acceptor;
    if (ec == net::error::address_family_not_supported ||
        ec == boost::system::errc::address_not_available ||
        ec == net::error::operation_not_supported) {
      return std::nullopt;
    }
    throw std::runtime_error("Could not listen on " + DescribeEndpoint(ep) +
                             ": " + ec.message());
  }

  void Launch(std::vector<tcp::acceptor> acceptors) {
    for (auto& a : acceptors) {
      auto listener =
          std::make_shared<transport::Listener>(io_, std::move(a), context_);
      listener->Run();
      listeners_.push_back(std::move(listener));
    }
  }

  mutable std::mutex mutex_;
  net::io_context io_;
  WorkerPool workers_;
  net::executor_work_guard<net::io_context::executor_type> work_;
  std::shared_ptr<TransportContext> context_;
  std::vector<std::shared_ptr<transport::Listener>> listeners_;
  std::vector<std::jthread> io_threads_;
};

}  // namespace
}  // namespace transport

std::unique_ptr<HttpTransport> MakeHttpTransport(
    TransportOptions options, HttpTransport::Handler handler) {
  return std::make_unique<transport::BeastTransport>(std::move(options),
                                                     std::move(handler));
}

}  // namespace norvessa
