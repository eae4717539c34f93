#ifndef NORVESSA_DB_SQLITE_WRITER_TURN_H_
#define NORVESSA_DB_SQLITE_WRITER_TURN_H_

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

namespace norvessa {

// The turn for write transactions that the connections of one pool share:
// writers take it one after the other, in the order they ask, instead of
// polling the file's lock (which under load leaves some waiting for a
// second). A writer waits for the turn up to a limit. But while the turn
// has not changed hands for a second (an outside process holds the file's
// write lock) at most half of the pool waits, and the writers beyond that
// half fail at once: waiting writers never hold every request the server
// takes at a time, and reads, which WAL lets through, are still served.
// Healthy bursts pass the turn on within milliseconds and never fail.
class WriterTurn {
 public:
  static constexpr std::chrono::milliseconds kStuckAfter{1000};

  // `pool_size`: the connections that share the turn; 0 sets no bound on
  // the writers that wait. `stuck_after`: how long the turn may stay with
  // one writer before those waiting beyond half of the pool give up.
  explicit WriterTurn(int pool_size = 0,
                      std::chrono::milliseconds stuck_after = kStuckAfter);
  WriterTurn(const WriterTurn&) = delete;
  WriterTurn& operator=(const WriterTurn&) = delete;

  // Waits for the turn, at most `limit`; fails with DriverError when the limit
  // passes or the turn is stuck with half of the pool waiting already.
  void Take(std::chrono::milliseconds limit);
  void Pass();
  // The holder is busy with work of the turn's own that may take more
  // than a moment (emptying the write-ahead log): the turn does not count
  // as stuck meanwhile.
  void Renew();

  // The writers waiting for the turn now.
  int waiting() const;

 private:
  const std::chrono::milliseconds stuck_after_;
  mutable std::mutex mutex_;
  // One wake-up per waiting writer, in the order they asked.
  std::list<std::condition_variable> queue_;
  bool taken_ = false;
  std::chrono::steady_clock::time_point taken_at_;
  int most_waiting_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_WRITER_TURN_H_
