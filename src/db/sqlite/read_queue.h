#ifndef NORVESSA_DB_SQLITE_READ_QUEUE_H_
#define NORVESSA_DB_SQLITE_READ_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

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

 private:
  const std::uint64_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable moved_;
  // Tickets in the order asked; ticket t runs once t < left_ + capacity_.
  std::uint64_t next_ticket_ = 0;
  std::uint64_t left_ = 0;
  std::uint64_t waited_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_READ_QUEUE_H_
