#ifndef NORVESSA_MIDDLEWARE_API_LOGGER_THREAD_H_
#define NORVESSA_MIDDLEWARE_API_LOGGER_THREAD_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "json/json_value.h"

namespace norvessa {

// A queue of log entries and the thread that empties it: each wake-up runs
// one pass of DispatchLogCache, which takes everything queued so far.
// The queue is bounded; past the bound the oldest entries are dropped and
// counted. Stop makes one last pass before the thread ends.
class ApiLoggerThread {
 public:
  static constexpr std::size_t kDefaultCapacity = 100'000;

  // Passes run at most once per `min_interval`, so that a busy service
  // wakes the thread a few times a second rather than once per request.
  static constexpr std::chrono::milliseconds kDefaultInterval{50};

  explicit ApiLoggerThread(
      std::size_t capacity = kDefaultCapacity,
      std::chrono::milliseconds min_interval = kDefaultInterval);
  virtual ~ApiLoggerThread();
  ApiLoggerThread(const ApiLoggerThread&) = delete;
  ApiLoggerThread& operator=(const ApiLoggerThread&) = delete;

  // Queues one entry and wakes the thread; never waits for I/O.
  void NewLog(JsonValue entry);
  // Takes every queued entry out, in arrival order.
  std::vector<JsonValue> ExtractLogCache();
  // Destroys every queued entry.
  void ResetLogCache();
  // The entries dropped since the last call.
  std::uint64_t TakeDropped();
  void AddDropped(std::uint64_t count);
  // Entries waiting now, and those the full queue dropped since the start.
  std::size_t QueueLength();
  std::uint64_t DroppedTotal() const {
    return dropped_total_.load(std::memory_order_relaxed);
  }

  void Start();
  // Ends the thread after one last pass; a derived class calls it in its
  // own destructor, before its members go.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 protected:
  // One pass; errors are contained so that the thread goes on.
  virtual void DispatchLogCache() = 0;

 private:
  void Execute(std::stop_token stop);
  void Pass();

  const std::size_t capacity_;
  const std::chrono::milliseconds min_interval_;
  std::mutex mutex_;
  std::condition_variable_any event_;
  bool signaled_ = false;
  std::deque<JsonValue> cache_;
  std::uint64_t dropped_ = 0;
  std::atomic<std::uint64_t> dropped_total_{0};
  std::jthread thread_;
};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_API_LOGGER_THREAD_H_
