#include "framework/transport/worker_pool.h"

#include <utility>

namespace norvessa::transport {

WorkerPool::WorkerPool(int threads) {
  threads_.reserve(static_cast<std::size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    threads_.emplace_back([this](std::stop_token stop) { Run(stop); });
  }
}

WorkerPool::~WorkerPool() {
  for (auto& t : threads_) t.request_stop();
  threads_.clear();  // joins
}

void WorkerPool::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  ready_.notify_one();
}

void WorkerPool::Run(std::stop_token stop) {
  while (true) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      // Queued tasks still run after a stop request, so none is lost.
      if (!ready_.wait(lock, stop, [this] { return !tasks_.empty(); })) {
        return;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace norvessa::transport
