#include "middleware/api_logger_thread.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

namespace norvessa {
namespace {

// The bytes glibc's malloc takes for a request of `size`: an 8-byte
// header, rounding to 16, and a 32-byte chunk at least.
std::size_t Allocated(std::size_t size) {
  return std::max<std::size_t>(32, (size + 8 + 15) & ~std::size_t{15});
}

std::size_t StringHeap(const std::string& text) {
  // Short strings live inside the object itself.
  static const std::size_t inline_capacity = std::string().capacity();
  return text.capacity() > inline_capacity ? Allocated(text.capacity() + 1) : 0;
}

std::size_t ValueHeap(const JsonValue& value) {
  std::size_t bytes = StringHeap(value.text());
  if (value.elements().capacity() > 0) {
    bytes += Allocated(value.elements().capacity() * sizeof(JsonValue));
    for (const JsonValue& element : value.elements()) {
      bytes += ValueHeap(element);
    }
  }
  if (value.members().capacity() > 0) {
    bytes += Allocated(value.members().capacity() * sizeof(JsonMember));
    for (const JsonMember& member : value.members()) {
      bytes += StringHeap(member.key) + ValueHeap(member.value);
    }
  }
  return bytes;
}

}  // namespace

std::size_t LogEntryFootprint(const JsonValue& entry) {
  return sizeof(JsonValue) + sizeof(std::size_t) + ValueHeap(entry);
}

ApiLoggerThread::ApiLoggerThread(std::size_t capacity,
                                 std::size_t byte_capacity,
                                 std::chrono::milliseconds min_interval)
    : capacity_(capacity == 0 ? 1 : capacity),
      byte_capacity_(byte_capacity),
      min_interval_(min_interval) {}

ApiLoggerThread::~ApiLoggerThread() {
  // A derived class has stopped the thread already; this is the last guard.
  if (thread_.joinable()) {
    stop_requested_.store(true, std::memory_order_release);
    thread_.request_stop();
    thread_.join();
  }
}

void ApiLoggerThread::NewLog(JsonValue entry) {
  const std::size_t bytes = LogEntryFootprint(entry);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    Push(std::move(entry), bytes);
    // One wake-up per pass: entries that arrive before the thread has
    // taken the signal ride along.
    wake = !std::exchange(signaled_, true);
  }
  if (wake) event_.notify_one();
}

void ApiLoggerThread::NewLogs(const std::vector<JsonValue>& batch) {
  if (batch.empty()) return;
  bool wake = false;
  {
    // Copied under the lock, so that a pass takes the whole batch or none
    // of it; only this thread's own passes wait for the lock meanwhile.
    std::lock_guard lock(mutex_);
    for (const JsonValue& entry : batch) {
      JsonValue copy = entry;
      const std::size_t bytes = LogEntryFootprint(copy);
      Push(std::move(copy), bytes);
    }
    wake = !std::exchange(signaled_, true);
  }
  if (wake) event_.notify_one();
}

void ApiLoggerThread::Push(JsonValue entry, std::size_t bytes) {
  // The newest entry always stays, even one larger than the byte bound.
  std::uint64_t dropped = 0;
  while (!cache_.empty() && (cache_.size() >= capacity_ ||
                             cache_bytes_ + bytes > byte_capacity_)) {
    cache_bytes_ -= cache_.front().bytes;
    cache_.pop_front();
    ++dropped;
  }
  if (dropped > 0) {
    dropped_ += dropped;
    dropped_total_.fetch_add(dropped, std::memory_order_relaxed);
  }
  cache_.push_back({std::move(entry), bytes});
  cache_bytes_ += bytes;
}

std::vector<JsonValue> ApiLoggerThread::ExtractLogCache() {
  std::vector<JsonValue> batch;
  std::lock_guard lock(mutex_);
  batch.reserve(cache_.size());
  for (Queued& queued : cache_) batch.push_back(std::move(queued.entry));
  cache_.clear();
  cache_bytes_ = 0;
  return batch;
}

void ApiLoggerThread::ResetLogCache() {
  std::lock_guard lock(mutex_);
  cache_.clear();
  cache_bytes_ = 0;
}

std::uint64_t ApiLoggerThread::TakeDropped() {
  std::lock_guard lock(mutex_);
  return std::exchange(dropped_, 0);
}

std::size_t ApiLoggerThread::QueueLength() {
  std::lock_guard lock(mutex_);
  return cache_.size();
}

std::size_t ApiLoggerThread::QueueBytes() {
  std::lock_guard lock(mutex_);
  return cache_bytes_;
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
  stop_requested_.store(false, std::memory_order_release);
  thread_ = std::jthread([this](std::stop_token stop) { Execute(stop); });
}

void ApiLoggerThread::Stop() {
  if (!thread_.joinable()) return;
  stop_requested_.store(true, std::memory_order_release);
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
