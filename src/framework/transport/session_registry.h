#ifndef NORVESSA_FRAMEWORK_TRANSPORT_SESSION_REGISTRY_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_SESSION_REGISTRY_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

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

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_SESSION_REGISTRY_H_
