#pragma once

#include <cstddef>
#include <cstdint>

namespace halvex {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The calling thread's key pair for the next map: drawn from the OS random
// source on the thread's first use, then k0 goes up by one (wrapping) after
// every map, so maps built on one thread never share keys.
HashKeys next_map_keys();

// Shards per map for a machine with `processors` logical processors: the
// smallest power of two at least 4 * P, with P = 1 when the OS reports 0.
std::size_t shard_amount_for(std::size_t processors) noexcept;

// shard_amount_for(online processors), computed once per process.
std::size_t shard_amount();

}  // namespace halvex
