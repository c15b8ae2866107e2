// What the core asks of the operating system, one function per concern. Each
// operating system has its own source file (posix.cpp for Linux and macOS,
// windows.cpp for Windows); the build picks one, and nothing else in the
// core includes a system header.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86) || defined(_M_ARM64))
#include <intrin.h>  // _mm_pause, _mm_prefetch; __yield on ARM64
#elif defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace halvex::platform {

// Fills buf with len bytes from the system's random source. False when the
// source cannot be read.
bool random_bytes(unsigned char* buf, std::size_t len) noexcept;

// Logical processors the system reports as usable; 0 when it cannot tell.
std::size_t processor_count() noexcept;

// The precise wall clock as signed 100 ns ticks since 1970-01-01 00:00:00 UTC
// (negative before it). False when the clock cannot be read.
bool wall_clock_ticks(std::int64_t& ticks) noexcept;

// Gives the rest of this thread's time slice to another runnable thread.
void yield_thread() noexcept;

// Sleeps while `word` still holds `seen`; may return early (spuriously).
void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept;

// Wakes every thread parked on `word`.
void unpark_all(std::atomic<std::uint64_t>& word) noexcept;

// Tells the processor this is a spin-wait loop (cheaper for the sibling
// hyperthread, and no memory-order mis-speculation on exit).
inline void cpu_relax() noexcept {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif defined(_MSC_VER) && defined(_M_ARM64)
  __yield();
#elif defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield" ::: "memory");
#endif
}

// Starts loading the cache line at `p` for a read soon; never faults, so any
// address will do.
inline void prefetch(const void* p) noexcept {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(p), _MM_HINT_T0);
#elif defined(_MSC_VER)
  (void)p;
#else
  __builtin_prefetch(p);
#endif
}

}  // namespace halvex::platform
