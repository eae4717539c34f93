#ifndef NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace norvessa::transport {

// The threads that run the handler chain. A post wakes exactly one idle
// worker; the admission limit keeps the queue no longer than the pool.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  // Runs what is queued, then joins the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Post(std::function<void()> task);

 private:
  void Run(std::stop_token stop);

  std::mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::jthread> threads_;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_WORKER_POOL_H_
