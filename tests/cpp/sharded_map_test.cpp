// ShardedMap: the handles and the locks they hold, iteration, growth against
// a model, concurrent updates, and the shard layout.
#include "state/containers/sharded_map.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "state/clock.hpp"
#include "state/platform/platform.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

using test::Crowd;
using test::eventually;
using test::has_parked_waiter;
using test::key_in_shard;
using namespace std::chrono_literals;

using StrMap = ShardedMap<SmallString, int>;

template <class M>
bool no_shard_locked(const M& m) {
  for (std::size_t i = 0; i < TestAccess::shard_count(m); ++i) {
    if (TestAccess::raw_state(TestAccess::shard_lock(m, i)) != 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------- handles

TEST(ShardedMapEntry, DroppedVacantHandleLeavesMapUnchanged) {
  StrMap m;
  m.insert("other", 1);
  const std::size_t shard = TestAccess::shard_index_of(m, "k");
  {
    auto e = m.entry("k");
    EXPECT_FALSE(e.occupied());
    EXPECT_EQ(TestAccess::raw_state(TestAccess::shard_lock(m, shard)), ShardLock::kWriter);
  }
  EXPECT_TRUE(no_shard_locked(m));
  EXPECT_EQ(TestAccess::len(m), 1u);
  EXPECT_FALSE(m.get("k"));
  std::vector<std::string> keys;
  m.for_each([&](const SmallString& k_stored, int) {
    const std::string k = k_stored.str();
    keys.push_back(k);
  });
  EXPECT_EQ(keys, std::vector<std::string>{"other"});
}

TEST(ShardedMapEntry, VacantInsertStoresKeyAndStaysLocked) {
  StrMap m;
  const std::size_t shard = TestAccess::shard_index_of(m, "k");
  {
    auto e = m.entry("k");
    int& v = e.insert(5);
    EXPECT_TRUE(e.occupied());
    EXPECT_EQ(TestAccess::raw_state(TestAccess::shard_lock(m, shard)), ShardLock::kWriter);
    v += 10;  // written in place, under the same hold of the lock
    EXPECT_EQ(e.key(), "k");
  }
  EXPECT_TRUE(no_shard_locked(m));
  auto r = m.get("k");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, 15);
}

TEST(ShardedMapEntry, OccupiedGetOverwriteAndRemove) {
  StrMap m;
  m.insert("a", 1);
  m.insert("b", 2);
  {
    auto e = m.entry("a");
    ASSERT_TRUE(e.occupied());
    EXPECT_EQ(e.key(), "a");
    EXPECT_EQ(e.get(), 1);
    e.get() = 7;
  }
  EXPECT_EQ(*m.get("a"), 7);

  const std::size_t shard = TestAccess::shard_index_of(m, "a");
  {
    auto e = m.entry("a");
    ASSERT_TRUE(e.occupied());
    EXPECT_EQ(e.remove(), 7);
    // remove() gives the lock back at once, before the handle goes away.
    EXPECT_EQ(TestAccess::raw_state(TestAccess::shard_lock(m, shard)), 0u);
  }
  EXPECT_FALSE(m.get("a"));
  EXPECT_EQ(*m.get("b"), 2);
  EXPECT_EQ(TestAccess::len(m), 1u);

  // The key can come back after removal.
  m.insert("a", 3);
  EXPECT_EQ(*m.get("a"), 3);
  EXPECT_EQ(TestAccess::len(m), 2u);
}

TEST(ShardedMapEntry, OrInsertOnlyFillsVacantEntries) {
  StrMap m;
  m.entry("x").or_insert(1) += 1;
  m.entry("x").or_insert(100) += 1;
  EXPECT_EQ(*m.get("x"), 3);
}

TEST(ShardedMapEntry, BorrowedKeyIsCopiedOnlyOnInsert) {
  StrMap m;
  std::string key = "borrowed";
  { auto e = m.entry_ref(key); }
  EXPECT_EQ(TestAccess::len(m), 0u);
  { m.entry_ref(key).insert(4); }
  key.assign("changed afterwards");  // the map owns its own copy
  EXPECT_EQ(*m.get("borrowed"), 4);
  EXPECT_FALSE(m.get("changed afterwards"));
  EXPECT_EQ(m.insert_ref("borrowed", 5), std::optional<int>(4));
  EXPECT_EQ(*m.get("borrowed"), 5);
}

TEST(ShardedMapInsert, ReturnsOldValueAndKeepsSize) {
  StrMap m;
  EXPECT_EQ(m.insert("k", 1), std::nullopt);
  EXPECT_EQ(TestAccess::len(m), 1u);
  EXPECT_EQ(m.insert("k", 2), std::optional<int>(1));
  EXPECT_EQ(TestAccess::len(m), 1u);
  EXPECT_EQ(*m.get("k"), 2);
  EXPECT_TRUE(no_shard_locked(m));
}

TEST(ShardedMapGet, MissingKeyReturnsNothingAndUnlocks) {
  StrMap m;
  EXPECT_FALSE(m.get("nothing here"));  // table without storage
  m.insert("something", 1);
  for (const char* k : {"nothing here", "", "somethin", "something "}) {
    EXPECT_FALSE(m.get(k)) << k;
    EXPECT_FALSE(test::is_locked(TestAccess::shard_lock(m, TestAccess::shard_index_of(m, k)))) << k;
  }
}

TEST(ShardedMapGet, ReadRefKeepsReadLockUntilDropped) {
  StrMap m;
  m.insert("k", 9);
  const ShardLock& lock = TestAccess::shard_lock(m, TestAccess::shard_index_of(m, "k"));
  {
    auto r1 = m.get("k");
    ASSERT_TRUE(r1);
    EXPECT_EQ(TestAccess::raw_state(lock), ShardLock::kOneReader);
    auto r2 = m.get("k");  // readers share
    EXPECT_EQ(TestAccess::raw_state(lock), 2 * ShardLock::kOneReader);
    EXPECT_EQ(*r1 + *r2, 18);
    r2 = {};  // dropping the reference gives up its share
    EXPECT_FALSE(r2);
    EXPECT_EQ(TestAccess::raw_state(lock), ShardLock::kOneReader);
  }
  EXPECT_EQ(TestAccess::raw_state(lock), 0u);
}

// A write through entry() on another thread waits for the reader.
TEST(ShardedMapGet, ReadRefBlocksWritersOfItsShard) {
  StrMap m;
  m.insert("k", 1);
  std::atomic<bool> wrote{false};
  auto r = m.get("k");
  Crowd writer(1, [&](int) {
    m.entry("k").get() = 2;
    wrote = true;
  });
  EXPECT_TRUE(eventually([&] {
    return has_parked_waiter(TestAccess::shard_lock(m, TestAccess::shard_index_of(m, "k")));
  }));
  EXPECT_FALSE(wrote.load());
  EXPECT_EQ(*r, 1);
  r = {};
  writer.join_or_abort();
  EXPECT_EQ(*m.get("k"), 2);
}

// ---------------------------------------------------------------- iteration

TEST(ShardedMapIter, EachEntryComesFromTheOneReadLockedShard) {
  StrMap m;
  for (int i = 0; i < 200; ++i) m.insert(test::numbered("k", i), i);
  std::set<std::string> seen;
  auto it = m.iter();
  std::size_t last_shard = 0;
  while (const auto* slot = it.next()) {
    const std::size_t shard = TestAccess::iter_shard(it);
    EXPECT_GE(shard, last_shard);
    last_shard = shard;
    EXPECT_EQ(TestAccess::shard_index_of(m, slot->key), shard);
    EXPECT_EQ(slot->value, std::stoi(slot->key.str().substr(1)));
    for (std::size_t i = 0; i < TestAccess::shard_count(m); ++i) {
      ASSERT_EQ(TestAccess::raw_state(TestAccess::shard_lock(m, i)),
                i == shard ? ShardLock::kOneReader : 0u)
          << "shard " << i << " while iterating shard " << shard;
    }
    EXPECT_TRUE(seen.insert(slot->key.str()).second);
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_EQ(TestAccess::iter_shard(it), TestAccess::shard_count(m));
  EXPECT_TRUE(no_shard_locked(m));
}

// Every shard is read-locked in index order, the empty ones too, even when
// all keys live in a single shard. Holding every shard's write lock makes
// the iterating thread wait at each shard in turn, which we can see.
TEST(ShardedMapIter, LocksEveryShardInOrderWhenKeysShareOneShard) {
  StrMap m;
  const std::size_t n = TestAccess::shard_count(m);
  const std::size_t home = n / 2;
  std::vector<std::string> keys;
  for (unsigned i = 0; keys.size() < 5; ++i) {
    std::string k = test::numbered("same-", i);
    if (TestAccess::shard_index_of(m, k) == home) keys.push_back(k);
  }
  for (const auto& k : keys) m.insert(k, 1);

  for (std::size_t i = 0; i < n; ++i) TestAccess::shard_lock(m, i).lock();
  std::atomic<int> seen{0};
  Crowd iterating(1, [&](int) { m.for_each([&](const SmallString&, int) { seen.fetch_add(1); }); });
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(eventually([&] { return has_parked_waiter(TestAccess::shard_lock(m, i)); }))
        << "iteration did not wait at shard " << i;
    EXPECT_EQ(seen.load(), i > home ? 5 : 0) << "at shard " << i;
    TestAccess::shard_lock(m, i).unlock();
  }
  iterating.join_or_abort();
  EXPECT_EQ(seen.load(), 5);
  EXPECT_TRUE(no_shard_locked(m));
}

TEST(ShardedMapIter, SeesKeysAddedAheadButNotBehind) {
  StrMap m;
  const std::size_t n = TestAccess::shard_count(m);
  const std::size_t mid = n / 2;
  m.insert(key_in_shard(m, mid, "start-"), 0);
  const std::string ahead = key_in_shard(m, n - 1, "ahead-");
  const std::string behind = key_in_shard(m, 0, "behind-");

  std::set<std::string> seen;
  auto it = m.iter();
  while (const auto* slot = it.next()) {
    if (seen.empty()) {
      ASSERT_EQ(TestAccess::iter_shard(it), mid);
      // Neither key's shard is the one being read, so these do not block.
      m.insert(ahead, 1);
      m.insert(behind, 2);
    }
    seen.insert(slot->key.str());
  }
  EXPECT_EQ(seen.count(ahead), 1u);
  EXPECT_EQ(seen.count(behind), 0u);
  EXPECT_EQ(TestAccess::len(m), 3u);
}

TEST(ShardedMapIter, EmptyMapVisitsNothingAndReleasesAll) {
  StrMap m;
  auto it = m.iter();
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_TRUE(no_shard_locked(m));
}

// ---------------------------------------------------------------- growth

// Random operations against std::unordered_map: growth to many thousands of
// keys, removals in between, then a shrinking phase that leaves tombstones.
TEST(ShardedMapModel, RandomOperationsMatchModel) {
  StrMap m;
  std::unordered_map<std::string, int> model;
  std::mt19937_64 rng(0x5eed);
  auto check_all = [&] {
    ASSERT_EQ(TestAccess::len(m), model.size());
    std::size_t visited = 0;
    m.for_each([&](const SmallString& k_stored, int v) {
      const std::string k = k_stored.str();
      ++visited;
      auto found = model.find(k);
      ASSERT_NE(found, model.end()) << k;
      ASSERT_EQ(found->second, v) << k;
    });
    ASSERT_EQ(visited, model.size());
  };

  auto run = [&](int ops, unsigned key_space, unsigned insert_pct, unsigned remove_pct) {
    for (int i = 0; i < ops; ++i) {
      const std::string k = test::numbered("k", rng() % key_space);
      const unsigned roll = static_cast<unsigned>(rng() % 100);
      const int v = static_cast<int>(rng() % 1000000);
      if (roll < insert_pct) {
        auto old = m.insert(k, v);
        auto found = model.find(k);
        ASSERT_EQ(old.has_value(), found != model.end()) << k;
        if (old) { ASSERT_EQ(*old, found->second); }
        model[k] = v;
      } else if (roll < insert_pct + remove_pct) {
        auto e = m.entry(k);
        ASSERT_EQ(e.occupied(), model.count(k) == 1) << k;
        if (e.occupied()) {
          ASSERT_EQ(e.remove(), model[k]);
          model.erase(k);
        }
      } else if (roll < insert_pct + remove_pct + 10) {
        auto e = m.entry(k);
        if (e.occupied()) {
          e.get() += 1;
          model[k] += 1;
        }
      } else {
        auto r = m.get(k);
        auto found = model.find(k);
        ASSERT_EQ(static_cast<bool>(r), found != model.end()) << k;
        if (r) { ASSERT_EQ(*r, found->second); }
      }
    }
  };

  run(60000, 20000, 55, 15);  // grows to well over 10k keys
  ASSERT_GT(model.size(), 10000u);
  check_all();
  run(60000, 20000, 10, 60);  // mostly removals
  check_all();
  run(40000, 20000, 45, 45);  // churn at a steady size
  check_all();
  EXPECT_TRUE(no_shard_locked(m));
}

// Few keys spread over the shards keep each shard's table tiny; constant
// churn then runs the small tables through many insert/remove cycles.
TEST(ShardedMapModel, SmallTablesUnderChurn) {
  StrMap m;
  std::map<std::string, int> model;
  std::mt19937_64 rng(7);
  for (int i = 0; i < 50000; ++i) {
    const std::string k = test::numbered("s", rng() % (2 * TestAccess::shard_count(m) + 3));
    if (rng() % 2 == 0) {
      m.insert(k, i);
      model[k] = i;
    } else {
      auto e = m.entry(k);
      ASSERT_EQ(e.occupied(), model.count(k) == 1);
      if (e.occupied()) {
        e.remove();
        model.erase(k);
      }
    }
  }
  std::map<std::string, int> got;
  m.for_each([&](const SmallString& k_stored, int v) {
    const std::string k = k_stored.str();
    got[k] = v;
  });
  EXPECT_EQ(got, model);
}

// ---------------------------------------------------------------- threads

// Increments through entry() on shared keys from several threads, mixed
// with inserts of private keys and reads: no update is lost.
TEST(ShardedMapConcurrent, EntryUpdatesOnSharedKeysLoseNothing) {
  ShardedMap<SmallString, std::uint64_t> m;
  constexpr int kThreads = 4;
  constexpr int kOps = 20000;
  constexpr int kShared = 48;
  std::atomic<int> bad_reads{0};
  Crowd crowd(kThreads, [&](int id) {
    for (int i = 0; i < kOps; ++i) {
      const std::string k = test::numbered("shared-", (i * 7 + id) % kShared);
      m.entry(k).or_insert(0) += 1;
      if (i % 8 == 0) m.insert(test::numbered("own-", id) + test::numbered("-", i), 1);
      if (i % 5 == 0) {
        auto r = m.get(k);
        if (!r || *r == 0) bad_reads.fetch_add(1);
      }
    }
  });
  crowd.join_or_abort(60s);

  std::map<std::string, std::uint64_t> expected;
  for (int id = 0; id < kThreads; ++id) {
    for (int i = 0; i < kOps; ++i) expected[test::numbered("shared-", (i * 7 + id) % kShared)]++;
  }
  for (const auto& [k, n] : expected) {
    auto r = m.get(k);
    ASSERT_TRUE(r) << k;
    EXPECT_EQ(*r, n) << k;
  }
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(TestAccess::len(m), static_cast<std::size_t>(kShared + kThreads * (kOps / 8)));
  EXPECT_TRUE(no_shard_locked(m));
}

// Concurrent inserts grow tables while other threads read and remove.
TEST(ShardedMapConcurrent, GrowthWhileOthersReadAndRemove) {
  ShardedMap<std::uint64_t, std::uint64_t> m;
  constexpr int kThreads = 4;
  constexpr std::uint64_t kPerThread = 15000;
  std::atomic<int> wrong{0};
  Crowd crowd(kThreads, [&](int id) {
    const std::uint64_t base = static_cast<std::uint64_t>(id) << 32;
    for (std::uint64_t i = 0; i < kPerThread; ++i) {
      m.insert(base + i, i * 3);
      if (i >= 10) {
        auto r = m.get(base + i - 10);
        if (!r || *r != (i - 10) * 3) wrong.fetch_add(1);
      }
      if (i % 3 == 0 && i >= 20) {
        auto e = m.entry(base + i - 20);
        if (!e.occupied() || e.remove() != (i - 20) * 3) wrong.fetch_add(1);
      }
    }
  });
  crowd.join_or_abort(60s);
  EXPECT_EQ(wrong.load(), 0);
  std::size_t count = 0;
  m.for_each([&](std::uint64_t k, std::uint64_t v) {
    ++count;
    const std::uint64_t i = k & 0xffffffffu;
    EXPECT_EQ(v, i * 3);
    // Key j was removed when the writer reached j + 20, if that was a multiple of 3.
    EXPECT_FALSE((i + 20) % 3 == 0 && i + 20 < kPerThread) << "removed key " << k << " present";
  });
  EXPECT_EQ(count, TestAccess::len(m));
}

// ---------------------------------------------------------------- keys

TEST(ShardedMapKeys, UnixSecondsKeys) {
  ShardedMap<UnixSeconds, std::vector<int>> m;
  const UnixSeconds now = now_secs();
  const UnixSeconds keys[] = {0, 1, now, now + 1, std::numeric_limits<UnixSeconds>::max()};
  for (UnixSeconds k : keys) m.entry(k).or_insert({}).push_back(static_cast<int>(k & 0xff));
  m.entry(now).or_insert({}).push_back(-1);
  EXPECT_EQ(TestAccess::len(m), 5u);
  EXPECT_EQ(*m.get(now), (std::vector<int>{static_cast<int>(now & 0xff), -1}));
  EXPECT_EQ(*m.get(0), std::vector<int>{0});
  EXPECT_EQ(m.get(std::numeric_limits<UnixSeconds>::max())->size(), 1u);
  EXPECT_FALSE(m.get(2));
}

// A key's shard is taken from the bits just below the top 7 of its keyed
// SipHash-1-3; string keys are hashed with a 0xFF terminator.
TEST(ShardedMapKeys, ShardChoiceFollowsTheKeyedHash) {
  StrMap s;
  ShardedMap<UnixSeconds, int> u;
  const unsigned bits = static_cast<unsigned>(std::countr_zero(TestAccess::shard_count(s)));
  auto index = [bits](std::uint64_t h) {
    return static_cast<std::size_t>((h << 7) >> (64 - bits));
  };
  for (int i = 0; i < 200; ++i) {
    const std::string k = test::numbered("agent-", i);
    const HashKeys hk = TestAccess::hash_keys(s);
    EXPECT_EQ(TestAccess::hash(s, k), siphash13_str(hk.k0, hk.k1, k));
    EXPECT_EQ(TestAccess::shard_index_of(s, k), index(TestAccess::hash(s, k)));
    const UnixSeconds t = 1700000000u + static_cast<UnixSeconds>(i);
    EXPECT_EQ(TestAccess::hash(u, t),
              siphash13_u64(TestAccess::hash_keys(u).k0, TestAccess::hash_keys(u).k1, t));
    EXPECT_EQ(TestAccess::shard_index_of(u, t), index(TestAccess::hash(u, t)));
  }
}

// ---------------------------------------------------------------- layout

TEST(ShardAmount, FourPerProcessorRoundedUpToPowerOfTwo) {
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 4},   {1, 4},    {2, 8},   {3, 16},
                                                       {4, 16},  {5, 32},   {6, 32},  {8, 32},
                                                       {12, 64}, {24, 128}, {64, 256}};
  for (auto [p, want] : cases) EXPECT_EQ(shard_amount_for(p), want) << "P = " << p;
}

TEST(ShardAmount, MatchesOnlineProcessorsAndEveryMap) {
  const std::size_t online = platform::processor_count();
  EXPECT_GE(online, 1u);
  const std::size_t want = shard_amount_for(online);
  EXPECT_EQ(shard_amount(), want);
  StrMap a;
  ShardedMap<UnixSeconds, int> b;
  EXPECT_EQ(TestAccess::shard_count(a), want);
  EXPECT_EQ(TestAccess::shard_count(b), want);
  EXPECT_TRUE(std::has_single_bit(want));
  EXPECT_GE(want, 4u);
}

// Each shard has a 128-byte slot of its own, so no two locks share a line.
TEST(ShardAmount, ShardLocksSitInTheirOwn128ByteSlots) {
  StrMap m;
  const auto addr = [&](std::size_t i) {
    return reinterpret_cast<std::uintptr_t>(&TestAccess::shard_lock(m, i));
  };
  for (std::size_t i = 0; i < TestAccess::shard_count(m); ++i) {
    EXPECT_EQ(addr(i) % 128, 0u) << i;
    if (i > 0) { EXPECT_EQ(addr(i) - addr(i - 1), 128u) << i; }
  }
}

}  // namespace
}  // namespace halvex
