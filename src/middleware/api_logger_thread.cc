#include "middleware/api_logger_thread.h"

#include <unistd.h>

#include <exception>
#include <string>
#include <utility>

namespace norvessa {

ApiLoggerThread::ApiLoggerThread(std::size_t capacity,
                                 std::chrono::milliseconds min_interval)
    : capacity_(capacity == 0 ? 1 : capacity), min_interval_(min_interval) {}

ApiLoggerThread::~ApiLoggerThread() {
  // A derived class has stopped the thread already; this is the last guard.
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

void ApiLoggerThread::NewLog(JsonValue entry) {
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (cache_.size() >= capacity_) {
      cache_.pop_front();
      ++dropped_;
      dropped_total_.fetch_add(1, std::memory_order_relaxed);
    }
    cache_.push_back(std::move(entry));
    // One wake-up per pass: entries that arrive before the thread has
    // taken the signal ride along.
    wake = !std::exchange(signaled_, true);
  }
  if (wake) event_.notify_one();
}

std::vector<JsonValue> ApiLoggerThread::ExtractLogCache() {
  std::vector<JsonValue> batch;
  std::lock_guard lock(mutex_);
  batch.reserve(cache_.size());
  for (JsonValue& entry : cache_) batch.push_back(std::move(entry));
  cache_.clear();
  return batch;
}

void ApiLoggerThread::ResetLogCache() {
  std::lock_guard lock(mutex_);
  cache_.clear();
}

std::uint64_t ApiLoggerThread::TakeDropped() {
  std::lock_guard lock(mutex_);
  return std::exchange(dropped_, 0);
}

std::size_t ApiLoggerThread::QueueLength() {
  std::lock_guard lock(mutex_);
  return cache_.size();
}

void ApiLoggerThread::AddDropped(std::uint64_t count) {
  if (count == 0) return;
  {
    std::lock_guard lock(mutex_);
    dropped_ += count;
    signaled_ = true;
  }
  event_.notify_one();
}

void ApiLoggerThread::Start() {
  if (thread_.joinable()) return;
  thread_ = std::jthread([this](std::stop_token stop) { Execute(stop); });
}

void ApiLoggerThread::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  thread_ = std::jthread();
}

void ApiLoggerThread::Pass() {
  try {
    DispatchLogCache();
  } catch (const std::exception& e) {
    const std::string line =
        std::string("request log: a pass failed: ") + e.what() + "\n";
    const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  } catch (...) {
  }
}

void ApiLoggerThread::Execute(std::stop_token stop) {
  while (true) {
    {
      std::unique_lock lock(mutex_);
      event_.wait(lock, stop, [this] { return signaled_; });
      signaled_ = false;
    }
    if (stop.stop_requested()) break;
    Pass();
    // Entries arriving meanwhile wait for the next pass; a stop request
    // ends the pause at once.
    std::unique_lock lock(mutex_);
    event_.wait_for(lock, stop, min_interval_, [] { return false; });
  }
  // The last pass hands on whatever is still queued.
  Pass();
}

}  // namespace norvessa
