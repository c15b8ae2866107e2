// Reader-writer lock of one map shard.
//
// One 64-bit word holds everything: bit 0 says that some thread is parked on
// the word, bit 1 that a writer holds the lock, and the bits above count the
// readers. Taking a free lock in either mode is one compare-and-swap and
// releasing it is one atomic read-modify-write; only a release that finds the
// parked bit set goes on to wake waiters. A thread that finds the lock taken
// spins for three rounds of doubling length, yields seven times, and then
// parks on the word (C++20 atomic wait, a futex on Linux) until a release
// wakes it. Readers are let in whenever no writer holds the lock, even while a
// writer waits.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvex {

class ShardLock {
 public:
  static constexpr std::uint64_t kParked = 1;
  static constexpr std::uint64_t kWriter = 2;
  // Readers count in the 62 bits above: each reader is a thread holding the
  // lock, so the count cannot come near overflowing.
  static constexpr std::uint64_t kOneReader = 4;

  ShardLock() noexcept = default;
  ShardLock(const ShardLock&) = delete;
  ShardLock& operator=(const ShardLock&) = delete;

  void lock() {
    std::uint64_t expected = 0;
    if (state_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return;
    }
    lock_slow();
  }

  bool try_lock() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    return (s & ~kParked) == 0 &&
           state_.compare_exchange_strong(s, s | kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock() noexcept {
    const std::uint64_t prev = state_.fetch_sub(kWriter, std::memory_order_release);
    if (prev & kParked) wake_all();
  }

  void lock_shared() {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    if ((s & kWriter) == 0 &&
        state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
      return;
    }
    lock_shared_slow();
  }

  bool try_lock_shared() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    return (s & kWriter) == 0 &&
           state_.compare_exchange_strong(s, s + kOneReader, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void unlock_shared() noexcept {
    const std::uint64_t prev = state_.fetch_sub(kOneReader, std::memory_order_release);
    // The last reader out wakes a parked writer.
    if ((prev & kParked) && (prev >> 2) == 1) wake_all();
  }

 private:
  friend struct TestAccess;  // reads the word
  void lock_slow();
  void lock_shared_slow();
  void wake_all() noexcept;

  std::atomic<std::uint64_t> state_{0};
};

}  // namespace halvex
