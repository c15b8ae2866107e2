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

  // The four lines are the round's four half-rounds; one statement a line would hide that.
  // clang-format off
  inline void round() noexcept {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  // clang-format on

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

// Every target this builds for is little-endian (small strings assume it
// too), so a word loads as it lies in memory.
static_assert(std::endian::native == std::endian::little, "SipHash words are loaded as stored");

inline std::uint64_t load_le(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The 0-7 bytes at p as the low bytes of a little-endian word.
inline std::uint64_t load_tail(const unsigned char* p, std::size_t n) noexcept {
  std::uint64_t t = 0;
  switch (n) {
    case 7: t |= static_cast<std::uint64_t>(p[6]) << 48; [[fallthrough]];
    case 6: t |= static_cast<std::uint64_t>(p[5]) << 40; [[fallthrough]];
    case 5: t |= static_cast<std::uint64_t>(p[4]) << 32; [[fallthrough]];
    case 4: t |= static_cast<std::uint64_t>(p[3]) << 24; [[fallthrough]];
    case 3: t |= static_cast<std::uint64_t>(p[2]) << 16; [[fallthrough]];
    case 2: t |= static_cast<std::uint64_t>(p[1]) << 8; [[fallthrough]];
    case 1: t |= static_cast<std::uint64_t>(p[0]); break;
    default: break;
  }
  return t;
}

// Hashes data[0..len), followed by the byte 0xFF when Terminated, without
// copying the input.
template <int C, int D, bool Terminated>
inline std::uint64_t hash_impl(std::uint64_t k0, std::uint64_t k1, const unsigned char* p,
                               std::size_t len) noexcept {
  State s(k0, k1);
  const unsigned char* const end = p + (len & ~static_cast<std::size_t>(7));
  for (; p != end; p += 8) s.compress<C>(load_le(p));
  const std::size_t n = len & 7;
  // The leftover bytes, then the terminator; the total length goes in the
  // top byte of the final block.
  std::uint64_t tail = load_tail(p, n);
  if (Terminated) {
    tail |= std::uint64_t{0xff} << (8 * n);
    if (n == 7) {  // the terminator completed a block
      s.compress<C>(tail);
      tail = 0;
    }
  }
  s.compress<C>(tail | (static_cast<std::uint64_t>(len + (Terminated ? 1 : 0)) << 56));
  return s.finish<D>();
}

}  // namespace siphash_detail

inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                               std::size_t len) noexcept {
  return siphash_detail::hash_impl<1, 3, false>(k0, k1, static_cast<const unsigned char*>(data),
                                                len);
}

inline std::uint64_t siphash24(std::uint64_t k0, std::uint64_t k1, const void* data,
                               std::size_t len) noexcept {
  return siphash_detail::hash_impl<2, 4, false>(k0, k1, static_cast<const unsigned char*>(data),
                                                len);
}

inline std::uint64_t siphash13_str(std::uint64_t k0, std::uint64_t k1,
                                   std::string_view str) noexcept {
  return siphash_detail::hash_impl<1, 3, true>(
      k0, k1, reinterpret_cast<const unsigned char*>(str.data()), str.size());
}

inline std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t v) noexcept {
  // One full block of the value's 8 little-endian bytes, then the length block.
  siphash_detail::State s(k0, k1);
  s.compress<1>(v);
  s.compress<1>(std::uint64_t{8} << 56);
  return s.finish<3>();
}

}  // namespace halvex
