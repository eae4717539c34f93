#include "db/sqlite/read_queue.h"

#include <algorithm>

namespace norvessa {

ReadQueue::ReadQueue(int capacity)
    : capacity_(static_cast<std::uint64_t>(std::max(capacity, 1))) {}

ReadQueue::Place::Place(ReadQueue& queue) : queue_(queue) {
  std::unique_lock lock(queue_.mutex_);
  const std::uint64_t ticket = queue_.next_ticket_++;
  if (ticket < queue_.left_ + queue_.capacity_) return;
  ++queue_.waited_;
  queue_.moved_.wait(lock,
                     [&] { return ticket < queue_.left_ + queue_.capacity_; });
}

ReadQueue::Place::~Place() {
  {
    std::lock_guard lock(queue_.mutex_);
    ++queue_.left_;
  }
  // Only the next ticket can go, but which waiter holds it is not known.
  queue_.moved_.notify_all();
}

std::uint64_t ReadQueue::Waited() const {
  std::lock_guard lock(mutex_);
  return waited_;
}

ReadQueue::LongMark ReadQueue::MarkFor(std::string_view sql) {
  std::lock_guard lock(mutex_);
  auto it = marks_.find(std::string(sql));
  if (it != marks_.end()) return it->second;
  if (marks_.size() >= kMarks) marks_.clear();
  return marks_.emplace(std::string(sql), std::make_shared<std::atomic<bool>>())
      .first->second;
}

}  // namespace norvessa
