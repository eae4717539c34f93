#ifndef NORVESSA_DB_SQLITE_READ_QUEUE_H_
#define NORVESSA_DB_SQLITE_READ_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace norvessa {

// The embedded database's long reads, in the order they come, at most
// `capacity` at a time. SQLite runs a statement on the thread that asks,
// so thirty statements of 10 ms on two cores would all run at once and
// all finish late; taking turns, the first finish first and the wait
// grows with the place in the line, not with the crowd. Short statements
// do not queue (SqliteConnection decides which are long), so they never
// wait behind long ones.
class ReadQueue {
 public:
  // What makes a statement long: the CPU time of its last runs.
  static constexpr std::chrono::microseconds kLongRead{2000};

  // `capacity` below 1 counts as 1.
  explicit ReadQueue(int capacity);
  ReadQueue(const ReadQueue&) = delete;
  ReadQueue& operator=(const ReadQueue&) = delete;

  int capacity() const { return static_cast<int>(capacity_); }

  // A place at the head of the line: taken by the constructor, in the
  // order asked, and given up by the destructor.
  class Place {
   public:
    explicit Place(ReadQueue& queue);
    ~Place();
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

   private:
    ReadQueue& queue_;
  };

  // Reads that ever waited for their place, for tests and figures.
  std::uint64_t Waited() const;

  // Whether the statement of this text was long when it last ran, on any
  // of the connections that share the queue: a connection opened in a
  // rush of requests lines its first run up when another has learned it
  // is long. Held by each connection's prepared statement.
  using LongMark = std::shared_ptr<std::atomic<bool>>;
  LongMark MarkFor(std::string_view sql);

 private:
  const std::uint64_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable moved_;
  // Tickets in the order asked; ticket t runs once t < left_ + capacity_.
  std::uint64_t next_ticket_ = 0;
  std::uint64_t left_ = 0;
  std::uint64_t waited_ = 0;
  // By text; emptied when full (the connections keep the marks they hold),
  // as texts with literals in them are without number.
  static constexpr std::size_t kMarks = 1024;
  std::unordered_map<std::string, LongMark> marks_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_READ_QUEUE_H_
