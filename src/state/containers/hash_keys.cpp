#include "state/containers/hash_keys.hpp"

#include "state/fault.hpp"
#include "state/platform/platform.hpp"

namespace halvex {
namespace {

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
    if (!platform::random_bytes(bytes, sizeof bytes)) {
      throw Fault("could not read the system random source for hash keys");
    }
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
  static const std::size_t amount = [] { return shard_amount_for(platform::processor_count()); }();
  return amount;
}

}  // namespace halvex
