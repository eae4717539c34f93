#ifndef NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace norvessa::transport {

// The threads that run the handler chain. A post hands the task straight to
// one idle worker and wakes that worker alone; with none idle the task
// waits in a queue (the admission limit keeps it short). An idle worker
// sleeps on a condition variable: no spinning, which on a busy machine
// took the CPU from the threads with work.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  // Runs what is queued, then joins the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Post(std::function<void()> task);
  // Waits until no task runs or waits, up to `deadline`; false when one
  // still does.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);

 private:
  // Guarded by the pool's mutex.
  struct Worker {
    std::condition_variable wake;
    bool woken = false;
    std::function<void()> task;
  };

  void Run(Worker& worker);

  std::mutex mutex_;
  std::condition_variable idle_changed_;
  // Tasks posted and not yet finished.
  int pending_ = 0;
  std::vector<Worker*> idle_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::jthread> threads_;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_
