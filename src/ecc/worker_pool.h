// The process-wide pool of worker threads over which the buffer check spreads its channels.
// Plain std::thread workers rather than OpenMP, so that a forked child (Python's multiprocessing)
// gets a pool of its own instead of hanging on its parent's.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tavroacq::ecc {

// A non-owning reference to a callable taking an index; the callable outlives the call.
class IndexBody {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, IndexBody>)
  IndexBody(F& f)  // NOLINT: converts from any callable
      : ctx_(static_cast<void*>(&f)), call_([](void* c, std::size_t i) { (*static_cast<F*>(c))(i); }) {}
  void operator()(std::size_t i) const { call_(ctx_, i); }

 private:
  void* ctx_;
  void (*call_)(void*, std::size_t);
};

// Runs body(i) once for every i in [0, count) on the calling thread and the pool's workers, at
// most `max_threads` threads in all (0: every thread the pool has), and returns when every index
// is done. Indices are handed out one at a time as threads free up. If body throws, the first
// exception is rethrown here once the other indices have run. Calls from several threads take
// turns; body must not call parallel_for itself.
void parallel_for(std::size_t count, IndexBody body, std::size_t max_threads = 0);

// Threads that parallel_for can use at once: the workers plus the calling thread.
std::size_t pool_threads();

}  // namespace tavroacq::ecc
