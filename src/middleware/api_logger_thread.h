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

// The memory one queued entry holds: its slot, every string that does not
// fit inside its object (with the allocator's header and rounding) and
// every array of pairs or elements, as the JsonValue and std::string
// layouts take them.
std::size_t LogEntryFootprint(const JsonValue& entry);

// A queue of log entries and the thread that empties it: each wake-up runs
// one pass of DispatchLogCache, which takes everything queued so far.
// The queue is bounded in entries and in bytes (LogEntryFootprint); past
// either bound the oldest entries are dropped and counted. Stop makes one
// last pass before the thread ends.
class ApiLoggerThread {
 public:
  static constexpr std::size_t kDefaultCapacity = 100'000;
  // The manager's queue and the file writer's each hold at most this much,
  // so that the two together stay within 128 MiB however long a flood
  // lasts; an ordinary 40-pair entry takes some 6 KiB (12 KiB with every
  // header at its cut), so this is still ten thousand such entries.
  static constexpr std::size_t kDefaultByteCapacity = 64 * 1024 * 1024;

  // Passes run at most once per `min_interval`, so that a busy service
  // wakes the thread a few times a second rather than once per request.
  static constexpr std::chrono::milliseconds kDefaultInterval{50};

  explicit ApiLoggerThread(
      std::size_t capacity = kDefaultCapacity,
      std::size_t byte_capacity = kDefaultByteCapacity,
      std::chrono::milliseconds min_interval = kDefaultInterval);
  virtual ~ApiLoggerThread();
  ApiLoggerThread(const ApiLoggerThread&) = delete;
  ApiLoggerThread& operator=(const ApiLoggerThread&) = delete;

  // Queues one entry and wakes the thread; never waits for I/O.
  void NewLog(JsonValue entry);
  // Queues a copy of each entry, all at once: a pass takes the whole
  // batch or none of it.
  void NewLogs(const std::vector<JsonValue>& batch);
  // Takes every queued entry out, in arrival order.
  std::vector<JsonValue> ExtractLogCache();
  // Destroys every queued entry.
  void ResetLogCache();
  // The entries dropped since the last call.
  std::uint64_t TakeDropped();
  void AddDropped(std::uint64_t count);
  // Entries waiting now, their footprint, and those the full queue dropped
  // since the start.
  std::size_t QueueLength();
  std::size_t QueueBytes();
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
  // True from the call to Stop until the thread has ended: a pass may
  // then cut its work short.
  bool StopRequested() const {
    return stop_requested_.load(std::memory_order_acquire);
  }

 private:
  struct Queued {
    JsonValue entry;
    std::size_t bytes = 0;
  };

  // Queues one entry, dropping the oldest past either bound; the caller
  // holds mutex_.
  void Push(JsonValue entry, std::size_t bytes);
  void Execute(std::stop_token stop);
  void Pass();

  const std::size_t capacity_;
  const std::size_t byte_capacity_;
  const std::chrono::milliseconds min_interval_;
  std::mutex mutex_;
  std::condition_variable_any event_;
  bool signaled_ = false;
  std::deque<Queued> cache_;
  std::size_t cache_bytes_ = 0;
  std::uint64_t dropped_ = 0;
  std::atomic<bool> stop_requested_{false};
  std::atomic<std::uint64_t> dropped_total_{0};
  std::jthread thread_;
};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_API_LOGGER_THREAD_H_
