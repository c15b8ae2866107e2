// SipHash against published SipHash-2-4 vectors and SipHash-1-3 vectors from
// an independent implementation (gen_siphash_vectors.py in this directory).
#include "state/containers/siphash.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace halvex {
namespace {

constexpr std::uint64_t kRefK0 = 0x0706050403020100ULL;  // key bytes 00 01 .. 0f
constexpr std::uint64_t kRefK1 = 0x0f0e0d0c0b0a0908ULL;

// The reference messages: 00 01 02 .. (n - 1), wrapping at 256.
std::vector<unsigned char> message(std::size_t n) {
  std::vector<unsigned char> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<unsigned char>(i);
  return m;
}

TEST(SipHash24, PublishedReferenceVectors) {
  // The first sixteen entries of the reference table, message length 0..15.
  static constexpr std::uint64_t kWant[] = {
      0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL, 0x85676696d7fb7e2dULL,
      0xcf2794e0277187b7ULL, 0x18765564cd99a68dULL, 0xcbc9466e58fee3ceULL, 0xab0200f58b01d137ULL,
      0x93f5f5799a932462ULL, 0x9e0082df0ba9e4b0ULL, 0x7a5dbbc594ddb9f3ULL, 0xf4b32f46226bada7ULL,
      0x751e8fbc860ee5fbULL, 0x14ea5627c0843d90ULL, 0xf723ca908e7af2eeULL, 0xa129ca6149be45e5ULL,
  };
  for (std::size_t n = 0; n < 16; ++n) {
    const auto m = message(n);
    EXPECT_EQ(siphash24(kRefK0, kRefK1, m.data(), n), kWant[n]) << "length " << n;
  }
  const auto m63 = message(63);  // the table's last entry
  EXPECT_EQ(siphash24(kRefK0, kRefK1, m63.data(), 63), 0x958a324ceb064572ULL);
}

TEST(SipHash13, IndependentVectors) {
  struct Case {
    std::uint64_t k0, k1;
    std::size_t len;
    std::uint64_t want;
  };
  static constexpr Case kCases[] = {
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 0, 0xabac0158050fc4dcULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 1, 0xc9f49bf37d57ca93ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 2, 0x82cb9b024dc7d44dULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 3, 0x8bf80ab8e7ddf7fbULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 4, 0xcf75576088d38328ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 5, 0xdef9d52f49533b67ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 6, 0xc50d2b50c59f22a7ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 7, 0xd3927d989bb11140ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 8, 0x369095118d299a8eULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 9, 0x25a48eb36c063de4ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 10, 0x79de85ee92ff097fULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 11, 0x70c118c1f94dc352ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 12, 0x78a384b157b4d9a2ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 13, 0x306f760c1229ffa7ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 14, 0x605aa111c0f95d34ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 15, 0xd320d86d2a519956ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 16, 0xcc4fdd1a7d908b66ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 17, 0x9cf2689063dbd80cULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 63, 0x9d199062b7bbb3a8ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 64, 0xf17997ec4b4a6065ULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 65, 0x5e1e6109660f720eULL},
      {0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, 100, 0x3bee41c20cac3a3bULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 0, 0xd1fba762150c532cULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 7, 0x2f098ab0c751325aULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 8, 0xead411e67ebe2eeaULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 9, 0x75927f9d95124362ULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 16, 0x8972188433a5c5b7ULL},
      {0x0000000000000000ULL, 0x0000000000000000ULL, 100, 0x1c6a66e1506e7908ULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 0, 0x9b58316c79b5f006ULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 7, 0x8dd18f10f500a68fULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 8, 0x837571708f4be29aULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 9, 0x5de6739a800325a7ULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 16, 0x477b623409ff60e5ULL},
      {0xffffffffffffffffULL, 0x0123456789abcdefULL, 100, 0xc5c73b05e09480b0ULL},
  };
  for (const Case& c : kCases) {
    const auto m = message(c.len);
    EXPECT_EQ(siphash13(c.k0, c.k1, m.data(), c.len), c.want)
        << "k0 " << std::hex << c.k0 << " length " << std::dec << c.len;
  }
}

TEST(SipHash13, StringKeysHashWithTerminator) {
  struct Case {
    const char* text;
    std::uint64_t want;
  };
  static constexpr Case kCases[] = {
      {"", 0x336d38979e4a286bULL},
      {"a", 0x58ca0e5c1196493fULL},
      {"agent-a", 0x14dbd1c33b7d300fULL},
      {"file:src/lib.rs", 0x6f131f834fed6348ULL},
      {"\xc3\xa9t\xc3\xa9", 0xc05f2c0edfb62151ULL},
      {"\xc3\xa9"
       "a",
       0x1c78c9f39bc98838ULL},
  };
  for (const Case& c : kCases) EXPECT_EQ(siphash13_str(kRefK0, kRefK1, c.text), c.want) << c.text;
}

// The terminator is folded in without copying; the lengths around a block
// boundary are where that can go wrong.
TEST(SipHash13, StringHashEqualsHashOfBytesPlusFF) {
  for (std::size_t n : {0, 1, 6, 7, 8, 9, 14, 15, 16, 17, 23, 24, 63, 64, 100}) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 37);  // NUL and high bytes too
    const std::string framed = s + '\xff';
    EXPECT_EQ(siphash13_str(kRefK0, kRefK1, s),
              siphash13(kRefK0, kRefK1, framed.data(), framed.size()))
        << "length " << n;
  }
  // Keys that differ only in where one string would end do not collide.
  EXPECT_NE(siphash13_str(1, 2, "ab"), siphash13_str(1, 2, std::string("ab\xff", 3)));
}

TEST(SipHash13, U64KeysHashTheirLittleEndianBytes) {
  struct Case {
    std::uint64_t value, want;
  };
  static constexpr Case kCases[] = {
      {0x0ULL, 0x5cb96f6ba2a4fcfcULL},
      {0x1ULL, 0x32c5ea5ce472f19bULL},
      {0x6553f100ULL, 0x4eebcc8d4371e4fcULL},
      {0xffffffffffffffffULL, 0x823f307311453347ULL},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(siphash13_u64(kRefK0, kRefK1, c.value), c.want) << c.value;
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(c.value >> (8 * i));
    EXPECT_EQ(siphash13(kRefK0, kRefK1, le, 8), c.want) << c.value;
  }
}

TEST(SipHash13, KeysMatter) {
  const auto m = message(16);
  const std::uint64_t base = siphash13(kRefK0, kRefK1, m.data(), m.size());
  EXPECT_NE(siphash13(kRefK0 + 1, kRefK1, m.data(), m.size()), base);
  EXPECT_NE(siphash13(kRefK0, kRefK1 + 1, m.data(), m.size()), base);
  EXPECT_NE(siphash24(kRefK0, kRefK1, m.data(), m.size()), base);
}

}  // namespace
}  // namespace halvex
