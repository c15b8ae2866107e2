// Linux and macOS.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/random.h>  // getentropy
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

// C++20 atomic wait is a futex on Linux and __ulock on macOS.
void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept {
  word.wait(seen, std::memory_order_relaxed);
}

void unpark_all(std::atomic<std::uint64_t>& word) noexcept { word.notify_all(); }

}  // namespace halvex::platform
