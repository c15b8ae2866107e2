// SipHash-1-3 (one compression round, three finalisation rounds) keyed by
// (k0, k1): the maps' hash, kept inline so a lookup hashes without a call.
// SipHash-2-4 shares the code and exists so the core can be checked against
// the published reference vectors.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace halvex {
namespace siphash_detail {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct State {
  std::uint64_t v0, v1, v2, v3;

  State(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0(k0 ^ 0x736f6d6570736575ULL),
        v1(k1 ^ 0x646f72616e646f6dULL),
        v2(k0 ^ 0x6c7967656e657261ULL),
        v3(k1 ^ 0x7465646279746573ULL) {}

  inline void round() noexcept {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }

  template <int C>
  inline void compress(std::uint64_t m) noexcept {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  }

  template <int D>
  inline std::uint64_t finish() noexcept {
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline std::uint64_t load_le(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Hashes data[0..len), followed by the byte 0xFF when Terminated, without
// copying the input.
template <int C, int D, bool Terminated>
inline std::uint64_t hash_impl(std::uint64_t k0, std::uint64_t k1, const unsigned char* p,
                               std::size_t len) noexcept {
  State s(k0, k1);
  const std::size_t total = len + (Terminated ? 1 : 0);
  const std::size_t whole = len & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < whole; i += 8) s.compress<C>(load_le(p + i));
  // The leftover bytes, then the terminator; the total length goes in the
  // top byte of the final block.
  unsigned char last[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t n = len - whole;
  if (n != 0) std::memcpy(last, p + whole, n);
  if (Terminated) {
    last[n++] = 0xff;
    if (n == 8) {  // the terminator completed a block
      s.compress<C>(load_le(last));
      n = 0;
    }
  }
  std::uint64_t b = static_cast<std::uint64_t>(total) << 56;
  for (std::size_t i = 0; i < n; ++i) b |= static_cast<std::uint64_t>(last[i]) << (8 * i);
  s.compress<C>(b);
  return s.finish<D>();
}

}  // namespace siphash_detail

inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept {
  return siphash_detail::hash_impl<1, 3, false>(k0, k1, static_cast<const unsigned char*>(data), len);
}

inline std::uint64_t siphash24(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept {
  return siphash_detail::hash_impl<2, 4, false>(k0, k1, static_cast<const unsigned char*>(data), len);
}

inline std::uint64_t siphash13_str(std::uint64_t k0, std::uint64_t k1, std::string_view str) noexcept {
  return siphash_detail::hash_impl<1, 3, true>(k0, k1, reinterpret_cast<const unsigned char*>(str.data()),
                               str.size());
}

inline std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t v) noexcept {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  return siphash_detail::hash_impl<1, 3, false>(k0, k1, bytes, 8);
}

}  // namespace halvex
