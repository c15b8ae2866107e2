#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halvex {

// SipHash-1-3 (one compression round, three finalisation rounds) of a byte
// string keyed by (k0, k1): the maps' hash. SipHash-2-4 shares the code and
// exists so the core can be checked against the published reference vectors.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept;
std::uint64_t siphash24(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept;

// Hash of a string key: its bytes followed by the single byte 0xFF, so that
// "ab" and "a" + "b"-style concatenations of keys never collide by framing.
std::uint64_t siphash13_str(std::uint64_t k0, std::uint64_t k1, std::string_view s) noexcept;

// Hash of an unsigned 64-bit key: its 8 bytes, little-endian.
std::uint64_t siphash13_u64(std::uint64_t k0, std::uint64_t k1, std::uint64_t v) noexcept;

}  // namespace halvex
