// The engine's own threads: a pool that lives for the process, woken for each evaluation.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvex::expressions {

/// Workers 1..n-1 of an evaluation; the calling thread is worker 0. One evaluation uses the
/// pool at a time: another that finds it busy (on another thread, or on this one, from a
/// signal handler run between its blocks) runs on its calling thread alone, which gives the
/// same results. Threads are started as evaluations ask for them, never more than the
/// callers' counts, which the CPUs bound; one that waits for a second gives back what its
/// work kept (`idle`). The pool is never destroyed (its threads may still wait at exit), and
/// a forked child starts a new one, since the parent's threads do not exist there.
class Pool {
 public:
  using Work = void (*)(void* context, int worker);
  using Idle = void (*)();

  /// What a thread does once it has waited `idle_after` for work.
  static inline Idle idle = nullptr;
  static constexpr std::chrono::seconds idle_after{1};

  static Pool& get() {
    static const bool registered = [] {
      pthread_atfork(nullptr, nullptr, [] { instance().store(nullptr); });
      return true;
    }();
    (void)registered;
    Pool* pool = instance().load(std::memory_order_acquire);
    if (pool != nullptr) return *pool;
    // Two threads may get here first at once: one pool is kept, the other never used.
    auto* made = new Pool;
    if (instance().compare_exchange_strong(pool, made, std::memory_order_acq_rel)) return *made;
    delete made;
    return *pool;
  }

  /// Runs `work` on `workers` threads, the caller among them; returns how many took part.
  int run(int workers, Work work, void* context) {
    thread_local bool running_here = false;
    std::unique_lock busy(use_, std::defer_lock);
    if (running_here || workers <= 1 || !busy.try_lock()) {
      work(context, 0);
      return 1;
    }
    running_here = true;
    struct Done {
      bool& flag;
      ~Done() { flag = false; }
    } done{running_here};
    const int helpers = grow(workers - 1);
    {
      std::lock_guard lock(mutex_);
      work_ = work;
      context_ = context;
      wanted_ = helpers;
      remaining_ = helpers;
      ++generation_;
    }
    wake_.notify_all();
    work(context, 0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return remaining_ == 0; });
    return helpers + 1;
  }

 private:
  static std::atomic<Pool*>& instance() {
    static std::atomic<Pool*> pool{nullptr};
    return pool;
  }

  struct Start {
    Pool* pool;
    int index;
  };

  /// Starts threads up to `count`; returns how many there are (fewer if the system refuses).
  int grow(int count) {
    while (static_cast<int>(threads_.size()) < count) {
      auto* start = new Start{this, static_cast<int>(threads_.size()) + 1};
      pthread_t thread;
      if (pthread_create(&thread, nullptr, &Pool::main, start) != 0) {
        delete start;
        break;
      }
      pthread_detach(thread);
      threads_.push_back(thread);
    }
    return std::min(count, static_cast<int>(threads_.size()));
  }

  static void* main(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    start.pool->serve(start.index);
    return nullptr;
  }

  [[noreturn]] void serve(int index) {
    std::uint64_t seen = 0;
    for (;;) {
      Work work;
      void* context;
      {
        std::unique_lock lock(mutex_);
        const auto woken = [&] { return generation_ != seen && index <= wanted_; };
        if (!wake_.wait_for(lock, idle_after, woken)) {
          lock.unlock();
          if (idle != nullptr) idle();
          lock.lock();
          wake_.wait(lock, woken);
        }
        seen = generation_;
        work = work_;
        context = context_;
      }
      work(context, index);
      std::lock_guard lock(mutex_);
      if (--remaining_ == 0) done_.notify_one();
    }
  }

  std::mutex use_;  // held by the evaluation using the pool
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::vector<pthread_t> threads_;
  std::uint64_t generation_ = 0;
  int wanted_ = 0, remaining_ = 0;
  Work work_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace quorvex::expressions
