// The open-addressing table inside a shard, driven directly with hashes we
// choose: crowded probe runs, runs that wrap past the end of the table,
// tombstones and rebuilds, and element lifetimes.
#include "state/containers/table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <utility>

namespace halvex {
namespace {

struct U64Ops {
  using View = std::uint64_t;
  static View view(std::uint64_t k) noexcept { return k; }
  static bool equal(std::uint64_t stored, View k) noexcept { return stored == k; }
};

// A value that counts its live instances, to catch leaks and double frees.
struct Tracked {
  static inline int live = 0;
  std::uint64_t v = 0;
  explicit Tracked(std::uint64_t x) : v(x) { ++live; }
  Tracked(Tracked&& o) noexcept : v(o.v) { ++live; }
  Tracked& operator=(Tracked&& o) noexcept {
    v = o.v;
    return *this;
  }
  Tracked(const Tracked&) = delete;
  ~Tracked() { --live; }
};

constexpr std::uint64_t kLow57 = (std::uint64_t{1} << 57) - 1;

// Three tags and five start positions for all keys, one of which is the last
// slot of any table: long shared probe runs, many tag matches that are not
// the key, and runs that continue at the start of the table.
std::uint64_t crowded_hash(std::uint64_t k) {
  static constexpr std::uint64_t kStarts[] = {kLow57, 0, 7, 13, 0x5555};
  return ((k % 3) << 57) | kStarts[k % 5];
}

// Every key starts probing at the table's last slot.
std::uint64_t last_slot_hash(std::uint64_t k) { return ((k % 100) << 57) | kLow57; }

// Keys come in batches of 20 that share a start position, so each batch
// fills a run longer than a probe window; removing a batch leaves tombstones
// that later batches, starting elsewhere, do not reuse.
std::uint64_t batch_hash(std::uint64_t k) { return ((k % 97) << 57) | ((k / 20) * 37); }

std::uint64_t mixed_hash(std::uint64_t k) {
  k += 0x9e3779b97f4a7c15ULL;
  k = (k ^ (k >> 30)) * 0xbf58476d1ce4e5b9ULL;
  k = (k ^ (k >> 27)) * 0x94d049bb133111ebULL;
  return k ^ (k >> 31);
}

using HashFn = std::uint64_t (*)(std::uint64_t);

// Drives a table the way ShardedMap does: grow first, then one probe that
// finds the key or the slot for it.
class Harness {
 public:
  explicit Harness(HashFn h) : hash_(h) {}

  bool insert(std::uint64_t k, std::uint64_t v) {
    t_.reserve_one(hash_);
    const auto p = t_.find_or_prepare(hash_(k), k);
    if (p.found) {
      t_.slot(p.index).value.v = v;
      return false;
    }
    t_.emplace_at(p.index, hash_(k), std::uint64_t{k}, Tracked(v));
    return true;
  }

  std::optional<std::uint64_t> erase(std::uint64_t k) {
    const std::size_t i = t_.find(hash_(k), k);
    if (i == TableT::kNotFound) return std::nullopt;
    return t_.take(i).v;
  }

  std::optional<std::uint64_t> find(std::uint64_t k) const {
    const std::size_t i = t_.find(hash_(k), k);
    if (i == TableT::kNotFound) return std::nullopt;
    return t_.slot(i).value.v;
  }

  std::map<std::uint64_t, std::uint64_t> contents() const {
    std::map<std::uint64_t, std::uint64_t> out;
    for (std::size_t i = t_.next_full(0); i < t_.capacity(); i = t_.next_full(i + 1)) {
      const bool fresh = out.emplace(t_.slot(i).key, t_.slot(i).value.v).second;
      EXPECT_TRUE(fresh) << "key " << t_.slot(i).key << " stored twice";
    }
    return out;
  }

  std::size_t size() const { return t_.size(); }
  std::size_t capacity() const { return t_.capacity(); }

 private:
  using TableT = Table<std::uint64_t, Tracked, U64Ops>;
  HashFn hash_;
  TableT t_;
};

void run_against_model(HashFn hash, std::uint64_t key_space, int ops, unsigned seed) {
  const int live_before = Tracked::live;
  {
    Harness h(hash);
    std::map<std::uint64_t, std::uint64_t> model;
    std::mt19937_64 rng(seed);
    for (int i = 0; i < ops; ++i) {
      const std::uint64_t k = rng() % key_space;
      switch (rng() % 3) {
        case 0: {
          const bool fresh = h.insert(k, static_cast<std::uint64_t>(i));
          ASSERT_EQ(fresh, model.count(k) == 0) << "insert " << k;
          model[k] = static_cast<std::uint64_t>(i);
          break;
        }
        case 1: {
          const auto got = h.erase(k);
          const auto it = model.find(k);
          ASSERT_EQ(got.has_value(), it != model.end()) << "erase " << k;
          if (got) {
            ASSERT_EQ(*got, it->second);
            model.erase(it);
          }
          break;
        }
        default: {
          const auto got = h.find(k);
          const auto it = model.find(k);
          ASSERT_EQ(got.has_value(), it != model.end()) << "find " << k;
          if (got) { ASSERT_EQ(*got, it->second); }
        }
      }
      if (i % 997 == 0) { ASSERT_EQ(h.contents(), model) << "after op " << i; }
    }
    ASSERT_EQ(h.size(), model.size());
    ASSERT_EQ(h.contents(), model);
    EXPECT_EQ(Tracked::live - live_before, static_cast<int>(model.size()));
  }
  EXPECT_EQ(Tracked::live, live_before);  // the table frees what it holds
}

TEST(Table, CrowdedProbeRunsMatchModel) { run_against_model(crowded_hash, 1200, 30000, 1); }

TEST(Table, RunsWrappingPastTheEndMatchModel) { run_against_model(last_slot_hash, 300, 20000, 2); }

TEST(Table, SpreadHashesMatchModel) { run_against_model(mixed_hash, 5000, 60000, 3); }

// Small tables (a few slots, windows wider than the table) under churn.
TEST(Table, SmallTablesMatchModel) {
  run_against_model(crowded_hash, 4, 5000, 4);
  run_against_model(last_slot_hash, 6, 5000, 5);
  run_against_model(mixed_hash, 9, 5000, 6);
}

TEST(Table, StartsWithoutStorageAndGrowsInSteps) {
  Harness h(mixed_hash);
  EXPECT_EQ(h.capacity(), 0u);
  EXPECT_FALSE(h.find(1));
  EXPECT_FALSE(h.erase(1));
  std::size_t last_cap = 0;
  for (std::uint64_t k = 0; k < 1000; ++k) {
    h.insert(k, k);
    ASSERT_GT(h.capacity(), h.size());  // a free slot always remains
    ASSERT_TRUE(h.capacity() == last_cap || h.capacity() == 2 * last_cap || last_cap == 0);
    last_cap = h.capacity();
  }
  EXPECT_LE(h.capacity(), 2048u);
  for (std::uint64_t k = 0; k < 1000; ++k) ASSERT_EQ(h.find(k), std::optional<std::uint64_t>(k));
}

// A sliding window of live keys leaves tombstones behind it. Rebuilding at
// the same size must reclaim them, so the table does not keep doubling.
TEST(Table, SteadyChurnKeepsCapacityBounded) {
  Harness h(batch_hash);
  constexpr std::uint64_t kLive = 40;
  for (std::uint64_t k = 0; k < 100000; ++k) {
    h.insert(k, k);
    if (k >= kLive) { ASSERT_EQ(h.erase(k - kLive), std::optional<std::uint64_t>(k - kLive)); }
  }
  EXPECT_EQ(h.size(), kLive);
  EXPECT_LE(h.capacity(), 128u);
  std::map<std::uint64_t, std::uint64_t> want;
  for (std::uint64_t k = 100000 - kLive; k < 100000; ++k) want[k] = k;
  EXPECT_EQ(h.contents(), want);
}

TEST(Table, OverwriteKeepsOneEntry) {
  Harness h(crowded_hash);
  for (int round = 0; round < 3; ++round) {
    for (std::uint64_t k = 0; k < 50; ++k) h.insert(k, k + static_cast<std::uint64_t>(round));
  }
  EXPECT_EQ(h.size(), 50u);
  EXPECT_EQ(h.contents().size(), 50u);
  EXPECT_EQ(h.find(10), std::optional<std::uint64_t>(12));
}

}  // namespace
}  // namespace halvex
