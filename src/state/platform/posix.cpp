// Linux and macOS.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <version>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/random.h>  // getentropy
#endif
#if !defined(__linux__) && !defined(__cpp_lib_atomic_wait)
#include <condition_variable>
#include <mutex>
#endif

#include "state/platform/platform.hpp"

namespace halvex::platform {

bool random_bytes(unsigned char* buf, std::size_t len) noexcept {
  std::size_t got = 0;
#if defined(__linux__)
  // The system call rather than glibc's wrapper, which only exists from 2.25:
  // wheels are built against 2.17.
  while (got < len) {
    const long n = syscall(SYS_getrandom, buf + got, len - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      break;  // ENOSYS on kernels before 3.17: fall back to the device
    }
  }
#elif defined(__APPLE__)
  constexpr std::size_t kMaxPerCall = 256;  // getentropy refuses more
  while (got < len) {
    const std::size_t want = len - got < kMaxPerCall ? len - got : kMaxPerCall;
    if (getentropy(buf + got, want) != 0) break;
    got += want;
  }
#endif
  if (got == len) return true;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < len) {
    const auto n = read(fd, buf + got, len - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      break;
    }
  }
  close(fd);
  return got == len;
}

std::size_t processor_count() noexcept {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool wall_clock_ticks(std::int64_t& ticks) noexcept {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return false;
  // tv_nsec is always in [0, 1e9), so a time just before the epoch has
  // tv_sec == -1: fold both parts into one signed count.
  ticks = static_cast<std::int64_t>(ts.tv_sec) * 10'000'000 +
          static_cast<std::int64_t>(ts.tv_nsec / 100);
  return true;
}

void yield_thread() noexcept { sched_yield(); }

#if defined(__linux__)
// The futex on the word's low 32 bits, which hold the parked and writer bits
// and the low reader bits: every release that must wake a sleeper changes
// them, so a sleeper never misses its wake-up. Straight to the kernel rather
// than through C++20 atomic wait, which older libstdc++ (manylinux2014's
// GCC 10) does not have.
namespace {
void* low_half(std::atomic<std::uint64_t>& word) noexcept {
  static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t));
  auto* bytes = reinterpret_cast<unsigned char*>(&word);
  return std::endian::native == std::endian::little ? bytes : bytes + 4;
}
}  // namespace

void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept {
  syscall(SYS_futex, low_half(word), FUTEX_WAIT_PRIVATE, static_cast<std::uint32_t>(seen), nullptr,
          nullptr, 0);
}

void unpark_all(std::atomic<std::uint64_t>& word) noexcept {
  syscall(SYS_futex, low_half(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

#elif defined(__cpp_lib_atomic_wait)
// macOS 11 and later: libc++'s atomic wait, on top of the kernel's ulock.
void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept {
  word.wait(seen, std::memory_order_relaxed);
}

void unpark_all(std::atomic<std::uint64_t>& word) noexcept { word.notify_all(); }

#else
// Toolchains without atomic wait (Apple's, targeting macOS before 11): a
// fixed table of condition variables keyed by the word's address. Parking is
// the rare path after spinning and yielding, so a shared bucket costs little.
namespace {
struct ParkingBucket {
  std::mutex mutex;
  std::condition_variable cv;
};

// Lock words sit 128 bytes apart (one per shard), so the address bits below
// 7 never differ: shifting them out gives neighbouring shards neighbouring
// buckets. 64 buckets give each of a map's shards a bucket of its own up to
// 16 processors (four shards per processor), for about 7 KB.
constexpr unsigned kWordSpacingBits = 7;
constexpr std::size_t kBuckets = 64;

ParkingBucket& bucket_for(const void* word) noexcept {
  static ParkingBucket table[kBuckets];
  return table[(reinterpret_cast<std::uintptr_t>(word) >> kWordSpacingBits) % kBuckets];
}
}  // namespace

void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept {
  ParkingBucket& b = bucket_for(&word);
  std::unique_lock<std::mutex> hold(b.mutex);
  // A release changes the word before it takes the bucket's mutex to wake us,
  // so either we see the change here or we are already waiting.
  if (word.load(std::memory_order_relaxed) == seen) b.cv.wait(hold);
}

void unpark_all(std::atomic<std::uint64_t>& word) noexcept {
  ParkingBucket& b = bucket_for(&word);
  { std::lock_guard<std::mutex> hold(b.mutex); }
  b.cv.notify_all();
}
#endif

}  // namespace halvex::platform
