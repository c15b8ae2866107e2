#include "state/hash_keys.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>

#include "state/fault.hpp"

namespace halvex {
namespace {

void fill_random(unsigned char* buf, std::size_t len) {
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = getrandom(buf + got, len - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got == len) return;
  // Kernels without getrandom: the device gives the same guarantee.
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (got < len) {
      const ssize_t n = ::read(fd, buf + got, len - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (!(n < 0 && errno == EINTR)) {
        break;
      }
    }
    ::close(fd);
  }
  if (got != len) throw Fault("could not read the system random source for hash keys");
}

std::uint64_t le64(const unsigned char* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

struct ThreadKeys {
  bool ready = false;
  HashKeys keys{0, 0};
};

thread_local ThreadKeys t_keys;

}  // namespace

HashKeys next_map_keys() {
  if (!t_keys.ready) {
    unsigned char bytes[16];
    fill_random(bytes, sizeof bytes);
    t_keys.keys = HashKeys{le64(bytes), le64(bytes + 8)};
    t_keys.ready = true;
  }
  const HashKeys out = t_keys.keys;
  t_keys.keys.k0 += 1;  // unsigned: wraps
  return out;
}

std::size_t shard_amount_for(std::size_t processors) noexcept {
  const std::size_t p = processors == 0 ? 1 : processors;
  std::size_t n = 1;
  while (n < 4 * p) n <<= 1;
  return n;
}

std::size_t shard_amount() {
  static const std::size_t amount = [] {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return shard_amount_for(n > 0 ? static_cast<std::size_t>(n) : 0);
  }();
  return amount;
}

}  // namespace halvex
