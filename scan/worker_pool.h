// A pool of worker threads that run one job together, the caller's thread among them, for
// passes that process a batch at a time: the workers live for the whole pass, so a batch costs
// no thread start.
#pragma once

#include <condition_variable>  // std::condition_variable
#include <cstdint>             // std::uint64_t
#include <functional>          // std::function
#include <mutex>               // std::mutex, std::unique_lock, std::lock_guard
#include <thread>              // std::thread
#include <vector>              // std::vector

// Runs one job on every thread of the pool, the caller's included, and returns when all are
// done. The workers live for the whole pass, so a batch costs no thread start.
class worker_pool {
 public:
  explicit worker_pool(int threads) {
    for (int i = 1; i < threads; ++i)
      workers_.emplace_back([this, i] { serve(i); });
  }
  ~worker_pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
      t.join();
  }
  worker_pool(const worker_pool&) = delete;
  worker_pool& operator=(const worker_pool&) = delete;

  // Calls job(worker) on each thread, worker 0 being the caller.
  void run(const std::function<void(int)>& job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      busy_ = static_cast<int>(workers_.size());
      ++generation_;
    }
    wake_.notify_all();
    job(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    job_ = nullptr;
  }

 private:
  void serve(int index) {
    std::uint64_t seen = 0;
    for (;;) {
      const std::function<void(int)>* job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
        if (stopping_)
          return;
        seen = generation_;
        job = job_;
      }
      (*job)(index);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        --busy_;
      }
      done_.notify_one();
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int)>* job_ = nullptr;
  std::uint64_t generation_ = 0;
  int busy_ = 0;
  bool stopping_ = false;
};
