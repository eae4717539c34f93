#include "framework/transport/session_registry.h"

#include <utility>
#include <vector>

namespace norvessa::transport {

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

}  // namespace norvessa::transport
