#include "state/shard_lock.hpp"

#include <sched.h>

#include "state/fault.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HALVEX_CPU_RELAX() _mm_pause()
#elif defined(__aarch64__)
#define HALVEX_CPU_RELAX() asm volatile("yield" ::: "memory")
#else
#define HALVEX_CPU_RELAX() ((void)0)
#endif

namespace halvex {
namespace {

constexpr int kSpinRounds = 3;   // busy-wait rounds, each twice the last
constexpr int kYieldRounds = 7;  // then give the processor away this often

// Waits for the lock to become available in the wanted mode: `blocked`
// tells whether a state word still excludes us, `acquire` tries one CAS.
template <class Blocked, class Acquire>
void wait_and_acquire(std::atomic<std::uint64_t>& state, Blocked blocked, Acquire acquire) {
  int spin = 0;
  int yields = 0;
  for (;;) {
    std::uint64_t s = state.load(std::memory_order_relaxed);
    if (!blocked(s)) {
      if (acquire(s)) return;
      continue;  // lost a race with another thread; look again at once
    }
    if (spin < kSpinRounds) {
      for (int i = 0; i < (1 << (spin + 1)); ++i) HALVEX_CPU_RELAX();
      ++spin;
      continue;
    }
    if (yields < kYieldRounds) {
      sched_yield();
      ++yields;
      continue;
    }
    // Park: announce ourselves with the parked bit, then sleep until the word
    // changes. A release that sees the bit clears it and wakes everyone.
    if ((s & ShardLock::kParked) == 0 &&
        !state.compare_exchange_weak(s, s | ShardLock::kParked, std::memory_order_relaxed,
                                     std::memory_order_relaxed)) {
      continue;
    }
    state.wait(s | ShardLock::kParked, std::memory_order_relaxed);
  }
}

}  // namespace

void ShardLock::lock_slow() {
  wait_and_acquire(
      state_, [](std::uint64_t s) { return (s & ~kParked) != 0; },
      [this](std::uint64_t s) {
        return state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                            std::memory_order_relaxed);
      });
}

void ShardLock::lock_shared_slow() {
  wait_and_acquire(
      state_, [](std::uint64_t s) { return (s & kWriter) != 0; },
      [this](std::uint64_t s) {
        if ((s >> 2) >= kMaxReaders) throw Fault("reader count overflowed");
        return state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                            std::memory_order_relaxed);
      });
}

bool ShardLock::try_lock_shared() {
  std::uint64_t s = state_.load(std::memory_order_relaxed);
  if (s & kWriter) return false;
  if ((s >> 2) >= kMaxReaders) throw Fault("reader count overflowed");
  return state_.compare_exchange_strong(s, s + kOneReader, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

void ShardLock::wake_all() noexcept {
  state_.fetch_and(~kParked, std::memory_order_relaxed);
  state_.notify_all();
}

}  // namespace halvex
