// SpinWhile: a short busy wait, for a waiter that expects its answer within microseconds
// and would otherwise pay for a sleep and a wake-up.
//
// Internal to the runtime.
#pragma once

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mx::com {

// Spins while `keep_waiting()` is true, for `limit` at most (not at all when it is zero).
template <class Predicate>
void SpinWhile(std::chrono::microseconds limit, Predicate keep_waiting) {
  if (limit.count() <= 0) return;
  const auto until = std::chrono::steady_clock::now() + limit;
  while (keep_waiting() && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
  }
}

}  // namespace mx::com
