// The HTTP transport on Boost.Beast: asynchronous accept, reads and writes
// on the I/O threads, the handler chain on a worker pool.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <chrono>
#include <fstream>
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

bool BodyBudget::Take(std::uint64_t n) {
  std::uint64_t held = held_.load();
  do {
    if (n > limit_ || held > limit_ - n) return false;
  } while (!held_.compare_exchange_weak(held, held + n));
  return true;
}

bool BodyLease::GrowTo(std::uint64_t total) {
  if (total <= held_) return true;
  if (budget_ == nullptr || !budget_->Take(total - held_)) return false;
  held_ = total;
  return true;
}

void BodyLease::Reset() {
  if (budget_ != nullptr && held_ > 0) budget_->Give(held_);
  held_ = 0;
}

ChainSlots::Outcome ChainSlots::Take(const std::shared_ptr<Session>& waiter,
                                     bool may_wait) {
  std::lock_guard lock(mutex_);
  if (taken_ < slots_ && waiters_.empty()) {
    ++taken_;
    return Outcome::kTaken;
  }
  if (may_wait && !closed_ &&
      static_cast<int>(waiters_.size()) < max_waiting_) {
    waiters_.push_back({waiter.get(), waiter});
    return Outcome::kQueued;
  }
  return Outcome::kFull;
}

bool ChainSlots::Full(bool may_wait) const {
  std::lock_guard lock(mutex_);
  if (taken_ < slots_ && waiters_.empty()) return false;
  return !may_wait || closed_ ||
         static_cast<int>(waiters_.size()) >= max_waiting_;
}

void ChainSlots::Give() {
  std::shared_ptr<Session> next;
  {
    std::lock_guard lock(mutex_);
    while (!waiters_.empty() && !next) {
      next = waiters_.front().session.lock();
      waiters_.pop_front();
    }
    // The slot passes straight to the waiter: nobody can take it between.
    if (!next) --taken_;
  }
  if (next) next->SlotGranted();
}

bool ChainSlots::Withdraw(const Session* waiter) {
  std::lock_guard lock(mutex_);
  const auto it =
      std::find_if(waiters_.begin(), waiters_.end(),
                   [&](const Waiter& w) { return w.key == waiter; });
  if (it == waiters_.end()) return false;
  waiters_.erase(it);
  return true;
}

std::vector<std::shared_ptr<Session>> ChainSlots::CloseQueue() {
  std::vector<std::shared_ptr<Session>> out;
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Waiter& w : waiters_) {
    if (auto s = w.session.lock()) out.push_back(std::move(s));
  }
  waiters_.clear();
  return out;
}

void ChainSlots::OpenQueue() {
  std::lock_guard lock(mutex_);
  closed_ = false;
}

int ChainSlots::taken() const {
  std::lock_guard lock(mutex_);
  return taken_;
}

int ChainSlots::waiting() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(waiters_.size());
}

bool PeerCounts::TryAdd(const IpAddress& peer, int limit) {
  std::lock_guard lock(mutex_);
  int& open = open_[peer];
  if (open >= limit) {
    if (open == 0) open_.erase(peer);
    return false;
  }
  ++open;
  return true;
}

void PeerCounts::Remove(const IpAddress& peer) {
  std::lock_guard lock(mutex_);
  const auto it = open_.find(peer);
  if (it == open_.end()) return;
  if (--it->second <= 0) open_.erase(it);
}

void OccasionalLine::Seen(const std::function<std::string()>& text) {
  const auto now = std::chrono::steady_clock::now();
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (last_ && now - *last_ < kInterval) {
      ++unreported_;
      return;
    }
    line = text();
    if (last_ && unreported_ > 0) {
      line += " (" + std::to_string(unreported_) + " more since the last line)";
    }
    last_ = now;
    unreported_ = 0;
  }
  line += '\n';
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// The kernel's own cap on listen backlogs; SOMAXCONN where it cannot be
// read.
int SystemBacklog() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  int value = 0;
  if (in >> value && value > 0) return value;
  return SOMAXCONN;
}

std::string DescribeEndpoint(const tcp::endpoint& ep) {
  const std::string addr = ep.address().to_string();
  return (ep.address().is_v6() ? "[" + addr + "]" : addr) + ":" +
         std::to_string(ep.port());
}

class BeastTransport final : public HttpTransport {
 public:
  BeastTransport(TransportOptions options, Handler handler)
      : workers_(options.worker_threads > 0
                     ? options.worker_threads
                     : std::max(1, options.max_in_chain)),
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
    // Nobody waits for a slot of a server that stops: they hear it now.
    for (auto& waiter : context_->slots.CloseQueue()) waiter->StopWaiting();
    context_->sessions.ForEach([](Session& s) { s.Close(true); });
    const auto deadline =
        std::chrono::steady_clock::now() + context_->options.stop_grace;
    if (!context_->sessions.WaitUntilEmpty(deadline)) {
      context_->sessions.ForEach([](Session& s) { s.Close(false); });
    }
  }

  bool WaitForHandlers(
      std::chrono::steady_clock::time_point deadline) override {
    return workers_.WaitIdle(deadline);
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
    if (!ec) {
      const int backlog = context_->options.backlog > 0
                              ? context_->options.backlog
                              : SystemBacklog();
      acceptor.listen(backlog, ec);
    }
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
    const TransportOptions& options = context_->options;
    context_->max_connections =
        options.fit_to_descriptors
            ? FitConnectionsToDescriptorLimit(options.max_connections,
                                              options.reserved_descriptors,
                                              options.name)
            : options.max_connections;
    context_->slots.OpenQueue();
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

int FitConnectionsToDescriptorLimit(int max_connections, int reserved,
                                    const std::string& name) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return max_connections;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return max_connections;
  const auto files = static_cast<long long>(limit.rlim_cur);
  const long long room = std::max(1LL, files - reserved);
  if (room >= max_connections) return max_connections;
  const std::string line = name + " listener: connection limit lowered from " +
                           std::to_string(max_connections) + " to " +
                           std::to_string(room) + ": the process may open " +
                           std::to_string(files) +
                           " files (ulimit -n) and keeps " +
                           std::to_string(reserved) + " of them for its own\n";
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  return static_cast<int>(room);
}

std::unique_ptr<HttpTransport> MakeHttpTransport(
    TransportOptions options, HttpTransport::Handler handler) {
  return std::make_unique<transport::BeastTransport>(std::move(options),
                                                     std::move(handler));
}

}  // namespace norvessa
