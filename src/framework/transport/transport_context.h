#ifndef NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "framework/transport/http_transport.h"
#include "framework/transport/worker_pool.h"

namespace norvessa::transport {

class Session;

// The live connections, so that stopping can close them and wait for them.
class SessionRegistry {
 public:
  std::uint64_t Add(std::weak_ptr<Session> session);
  void Remove(std::uint64_t id);
  // Calls `fn` with every session still alive.
  void ForEach(const std::function<void(Session&)>& fn);
  // True when the last session ended before `deadline`.
  bool WaitUntilEmpty(std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable empty_;
  std::uint64_t next_id_ = 0;
  std::unordered_map<std::uint64_t, std::weak_ptr<Session>> sessions_;
};

// What every connection of one transport shares.
struct TransportContext {
  TransportContext(TransportOptions o, HttpTransport::Handler h, WorkerPool& w)
      : options(std::move(o)), handler(std::move(h)), workers(w) {}

  const TransportOptions options;
  const HttpTransport::Handler handler;
  WorkerPool& workers;
  std::atomic<int> in_chain{0};
  SessionRegistry sessions;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
