#include "db/sqlite/writer_turn.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "db/driver_error.h"

namespace norvessa {

WriterTurn::WriterTurn(int pool_size, std::chrono::milliseconds stuck_after)
    : stuck_after_(stuck_after), most_waiting_(std::max(pool_size, 0) / 2) {}

void WriterTurn::Take(std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  std::unique_lock lock(mutex_);
  const auto me = queue_.emplace(queue_.end());
  while (true) {
    const auto ahead = std::distance(queue_.begin(), me);
    const auto now = Clock::now();
    if (!taken_ && ahead == 0) {
      queue_.erase(me);
      taken_ = true;
      taken_at_ = now;
      return;
    }
    const bool beyond_half = most_waiting_ > 0 && ahead >= most_waiting_;
    std::string why;
    if (beyond_half && taken_ && now - taken_at_ >= stuck_after_) {
      // One text for every writer turned away, so that the causes of a
      // stuck turn make one line on stderr with a count.
      why = "the write turn has not passed for " +
            std::to_string(stuck_after_.count()) +
            " ms and half the connections wait for it";
    } else if (now >= deadline) {
      why = "another write transaction runs";
    }
    if (!why.empty()) {
      queue_.erase(me);
      throw DriverError("database is locked (" + why + ")");
    }
    // Only the first in line is woken when the turn passes; those beyond
    // half look again when the turn would count as stuck.
    me->wait_until(lock, beyond_half
                             ? std::min(deadline, (taken_ ? taken_at_ : now) +
                                                      stuck_after_)
                             : deadline);
  }
}

void WriterTurn::Pass() {
  const std::lock_guard lock(mutex_);
  taken_ = false;
  if (!queue_.empty()) queue_.front().notify_one();
}

void WriterTurn::Renew() {
  const std::lock_guard lock(mutex_);
  if (taken_) taken_at_ = std::chrono::steady_clock::now();
}

int WriterTurn::waiting() const {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(queue_.size());
}

}  // namespace norvessa
