#include "framework/transport/worker_pool.h"

#include <utility>

namespace norvessa::transport {

WorkerPool::WorkerPool(int threads) {
  for (int i = 0; i < threads; ++i) {
    workers_.push_back(std::make_unique<Worker>());
  }
  for (auto& w : workers_) {
    threads_.emplace_back([this, worker = w.get()] { Run(*worker); });
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& w : workers_) w->woken = true;
  }
  // Every worker wakes; busy ones finish their task and the queue first.
  for (auto& w : workers_) w->wake.notify_one();
  threads_.clear();  // joins
}

void WorkerPool::Post(std::function<void()> task) {
  Worker* worker = nullptr;
  {
    std::lock_guard lock(mutex_);
    ++pending_;
    if (idle_.empty()) {
      queue_.push_back(std::move(task));
      return;
    }
    worker = idle_.back();
    idle_.pop_back();
    worker->task = std::move(task);
    worker->woken = true;
  }
  worker->wake.notify_one();
}

void WorkerPool::Run(Worker& worker) {
  while (true) {
    std::function<void()> task;
    {
      // Work that was queued while every worker was busy, or before this
      // one had started, comes first.
      std::unique_lock lock(mutex_);
      if (!queue_.empty()) {
        task = std::move(queue_.front());
        queue_.pop_front();
      } else if (stopping_) {
        return;
      } else {
        idle_.push_back(&worker);
        worker.wake.wait(lock, [&] { return worker.woken; });
        worker.woken = false;
        task = std::move(worker.task);
        worker.task = nullptr;
      }
    }
    if (task) {
      task();
      std::lock_guard lock(mutex_);
      if (--pending_ == 0) idle_changed_.notify_all();
    }
  }
}

bool WorkerPool::WaitIdle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return idle_changed_.wait_until(lock, deadline,
                                  [this] { return pending_ == 0; });
}

}  // namespace norvessa::transport
