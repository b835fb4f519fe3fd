// The worker pool behind parallel_for. One job runs at a time; workers spin briefly after a job
// so that back-to-back calls do not pay a thread wake-up each, then sleep on a condition variable.
// Fork: the prepare handler waits for the running job, and the child drops the (threadless)
// pool so that its first call builds a new one; a pool whose owner is another process is never
// waited on, its work runs on the calling thread instead.
#include "ecc/worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tavroacq::ecc {
namespace {

// The channel count of a full buffer bounds the useful parallelism.
constexpr std::size_t MAX_WORKERS = 95;
// How long a worker polls for the next job before it sleeps: about what waking it would take.
constexpr auto SPIN_TIME = std::chrono::microseconds(50);

struct Job {
  IndexBody body;
  std::size_t count;
  std::size_t max_helpers;
  std::atomic<std::size_t> next{0};
  std::size_t helpers = 0;  // workers that joined; guarded by the pool's mutex
  std::mutex error_mutex;
  std::exception_ptr error;

  Job(IndexBody b, std::size_t n, std::size_t h) : body(b), count(n), max_helpers(h) {}

  void run() {
    for (;;) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        body(i);
      } catch (...) {
        std::lock_guard lock(error_mutex);
        if (!error) error = std::current_exception();
      }
    }
  }
};

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

class Pool {
 public:
  explicit Pool(std::size_t workers) : owner_(getpid()) {
    threads_.reserve(workers);
    for (std::size_t k = 0; k < workers; ++k) {
      try {
        threads_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer workers; the calling thread always takes part
      }
    }
  }
  // Workers never stop: the pool lives for the process (or is abandoned by a forked child).
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  std::size_t workers() const { return threads_.size(); }
  bool owned_by_this_process() const { return owner_ == getpid(); }
  std::mutex& submit_mutex() { return submit_; }

  // Runs the job with up to job.max_helpers workers; the caller holds submit_mutex().
  void run(Job& job) {
    {
      std::lock_guard lock(mutex_);
      job_ = &job;
      generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    wake_.notify_all();
    job.run();
    std::unique_lock lock(mutex_);
    job_ = nullptr;  // late workers find nothing to join
    idle_.wait(lock, [&] { return busy_ == 0; });
  }

 private:
  void work() {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (generation_.load(std::memory_order_relaxed) == seen) {
        lock.unlock();
        spin_while_unchanged(seen);
        lock.lock();
        wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
      }
      seen = generation_.load(std::memory_order_relaxed);
      Job* job = job_;
      if (job == nullptr || job->helpers >= job->max_helpers) continue;
      ++job->helpers;
      ++busy_;
      lock.unlock();
      job->run();
      lock.lock();
      if (--busy_ == 0) idle_.notify_all();
    }
  }

  void spin_while_unchanged(std::uint64_t seen) const {
    const auto until = std::chrono::steady_clock::now() + SPIN_TIME;
    while (generation_.load(std::memory_order_acquire) == seen) {
      for (int k = 0; k < 64; ++k) cpu_relax();
      if (std::chrono::steady_clock::now() > until) return;
    }
  }

  const pid_t owner_;
  std::mutex submit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::atomic<std::uint64_t> generation_{0};  // written under mutex_; read without it to spin
  Job* job_ = nullptr;
  std::size_t busy_ = 0;
  std::vector<std::thread> threads_;
};

std::size_t available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

std::mutex POOL_MUTEX;  // guards POOL
Pool* POOL = nullptr;   // never deleted: its threads run until the process ends

void before_fork() {
  POOL_MUTEX.lock();
  if (POOL != nullptr) POOL->submit_mutex().lock();  // no job is in flight across the fork
}

void after_fork_in_parent() {
  if (POOL != nullptr) POOL->submit_mutex().unlock();
  POOL_MUTEX.unlock();
}

void after_fork_in_child() {
  // The workers did not come along. The old pool is left as it is (its threads cannot be joined)
  // and the next call builds a new one.
  POOL = nullptr;
  POOL_MUTEX.unlock();
}

Pool& the_pool() {
  std::lock_guard lock(POOL_MUTEX);
  if (POOL == nullptr) {
    static const bool handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)handlers;
    const std::size_t cpus = available_cpus();
    POOL = new Pool(std::min(cpus > 0 ? cpus - 1 : 0, MAX_WORKERS));
  }
  return *POOL;
}

}  // namespace

std::size_t pool_threads() { return the_pool().workers() + 1; }

void parallel_for(std::size_t count, IndexBody body, std::size_t max_threads) {
  if (count == 0) return;
  Pool& pool = the_pool();
  std::size_t helpers = std::min(pool.workers(), count - 1);
  if (max_threads != 0) helpers = std::min(helpers, max_threads - 1);
  Job job(body, count, helpers);
  if (helpers == 0 || !pool.owned_by_this_process()) {
    job.run();
  } else {
    std::lock_guard lock(pool.submit_mutex());
    pool.run(job);
  }
  if (job.error) std::rethrow_exception(job.error);
}

}  // namespace tavroacq::ecc
