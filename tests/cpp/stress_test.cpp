// Real threads hammering ShardLock, ShardedMap and the core operations at
// once: readers, writers, try-locks, long holders that make others park, map
// growth and removal under iteration, and claims and messages on one record.
// Each storm checks its own invariants as it goes and its totals at the end;
// built with -fsanitize=thread it also has to stay free of reports.
//
// HALVEX_STRESS_SCALE multiplies the operation counts (default 1).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "claims/claims.hpp"
#include "messaging/messaging.hpp"
#include "state/record.hpp"
#include "state/containers/shard_lock.hpp"
#include "state/containers/sharded_map.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using test::Crowd;

constexpr int kThreads = 8;

int scale() {
  const char* s = std::getenv("HALVEX_STRESS_SCALE");
  const int n = s != nullptr ? std::atoi(s) : 1;
  return n > 0 ? n : 1;
}

// A value whose two halves are written together under a write lock; a torn
// or unprotected write shows as b != ~a.
struct Pair {
  std::uint64_t a = 0;
  std::uint64_t b = ~std::uint64_t{0};
  bool whole() const { return b == ~a; }
  void set(std::uint64_t v) {
    a = v;
    b = ~v;
  }
};

TEST(Stress, ShardLockModesExcludeEachOther) {
  const int ops = 20000 * scale();
  ShardLock lock;
  Pair guarded;  // plain memory: only the lock protects it
  std::atomic<int> writers{0};
  std::atomic<int> readers{0};
  std::atomic<long> writes{0};
  std::atomic<long> failures{0};

  // The bookkeeping is relaxed on purpose: ordering must come from the lock
  // alone, or the sanitizer could not see a lock that fails to provide it.
  constexpr auto relaxed = std::memory_order_relaxed;
  auto write_section = [&] {
    if (writers.fetch_add(1, relaxed) != 0 || readers.load(relaxed) != 0) failures++;
    if (!guarded.whole()) failures++;
    guarded.set(guarded.a + 1);
    writes.fetch_add(1, relaxed);
    writers.fetch_sub(1, relaxed);
  };
  auto read_section = [&] {
    readers.fetch_add(1, relaxed);
    if (writers.load(relaxed) != 0 || !guarded.whole()) failures++;
    readers.fetch_sub(1, relaxed);
  };

  Crowd crowd(kThreads, [&](int t) {
    std::mt19937 rng(static_cast<unsigned>(t) * 977u + 5u);
    for (int i = 0; i < ops; ++i) {
      const unsigned r = rng() % 1000;
      if (r < 500) {
        std::shared_lock<ShardLock> g(lock);
        read_section();
      } else if (r < 800) {
        std::unique_lock<ShardLock> g(lock);
        write_section();
      } else if (r < 880) {
        if (lock.try_lock()) {
          write_section();
          lock.unlock();
        }
      } else if (r < 960) {
        if (lock.try_lock_shared()) {
          read_section();
          lock.unlock_shared();
        }
      } else if (r < 995) {
        // Several readers together for a while: writers wait behind them.
        std::shared_lock<ShardLock> g(lock);
        read_section();
        std::this_thread::sleep_for(20us);
      } else {
        // A long writer: the others run out of spins and yields and park.
        std::unique_lock<ShardLock> g(lock);
        write_section();
        std::this_thread::sleep_for(200us);
      }
    }
  });
  crowd.join_or_abort(std::chrono::milliseconds(600000));
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(guarded.a, static_cast<std::uint64_t>(writes.load()));
  EXPECT_TRUE(guarded.whole());
  EXPECT_FALSE(test::is_locked(lock));
  EXPECT_EQ(TestAccess::raw_state(lock), 0u) << "no reader count or parked bit may be left behind";
}

TEST(Stress, ShardedMapMixedOperations) {
  const int ops = 20000 * scale();
  constexpr int kShared = 16;
  constexpr int kOwn = 48;
  ShardedMap<SmallString, Pair> map;
  std::vector<std::string> shared;
  for (int i = 0; i < kShared; ++i) shared.push_back(test::numbered("shared-", i));
  std::atomic<long> increments{0};
  std::atomic<long> failures{0};
  std::vector<std::map<std::string, std::uint64_t>> own_final(kThreads);

  Crowd crowd(kThreads, [&](int t) {
    std::mt19937 rng(static_cast<unsigned>(t) * 131u + 7u);
    // Keys only this thread writes, so it knows their values at all times.
    std::vector<std::string> own;
    for (int i = 0; i < kOwn; ++i) own.push_back(test::numbered(test::numbered("t", t) + "-", i));
    std::unordered_map<std::string, std::uint64_t> expect;  // absent: not stored
    std::uint64_t version = 1;
    long incs = 0;
    for (int i = 0; i < ops; ++i) {
      const unsigned r = rng() % 1000;
      const std::string& mk = own[rng() % kOwn];
      const std::string& sk = shared[rng() % kShared];
      if (r < 200) {
        auto e = map.entry(sk);
        Pair& p = e.or_insert(Pair{});
        if (!p.whole()) failures++;
        p.set(p.a + 1);
        ++incs;
      } else if (r < 350) {
        auto e = map.entry_ref(mk);
        const auto it = expect.find(mk);
        if (e.occupied() != (it != expect.end())) {
          failures++;
        } else if (!e.occupied()) {
          Pair p;
          p.set(version);
          e.insert(p);
          expect[mk] = version++;
        } else if (e.get().a != it->second || !e.get().whole()) {
          failures++;
        } else if (rng() % 2 == 0) {
          const Pair old = e.remove();  // releases the lock
          if (old.a != it->second) failures++;
          expect.erase(it);
        } else {
          e.get().set(version);
          it->second = version++;
        }
      } else if (r < 450) {
        Pair p;
        p.set(version);
        const std::optional<Pair> old = map.insert(mk, p);
        const auto it = expect.find(mk);
        if (old.has_value() != (it != expect.end()) || (old && old->a != it->second)) failures++;
        expect[mk] = version++;
      } else if (r < 650) {
        auto ref = map.get(mk);
        const auto it = expect.find(mk);
        if (static_cast<bool>(ref) != (it != expect.end()) || (ref && ref->a != it->second)) {
          failures++;
        }
      } else if (r < 800) {
        auto ref = map.get(sk);
        if (ref && !ref->whole()) failures++;
      } else if (r < 830) {
        // Not a snapshot, but keys that only this thread writes hold still:
        // each one stored must be seen exactly once, with its value.
        std::unordered_map<std::string, int> seen;
        map.for_each([&](const SmallString& k_stored, const Pair& v) {
          const std::string k = k_stored.str();
          if (!v.whole()) failures++;
          if (k.rfind("t" + std::to_string(t) + "-", 0) == 0) {
            const auto it = expect.find(k);
            if (it == expect.end() || it->second != v.a) failures++;
            seen[k]++;
          }
        });
        if (seen.size() != expect.size()) failures++;
        for (const auto& [k, n] : seen) {
          if (n != 1) failures++;
        }
      } else if (r < 990) {
        auto e = map.entry_ref(sk);  // a vacant handle dropped unused
        if (e.occupied() && !e.get().whole()) failures++;
      } else {
        // Hold a shard's write lock long enough for others to park on it.
        auto e = map.entry(sk);
        Pair& p = e.or_insert(Pair{});
        std::this_thread::sleep_for(100us);
        p.set(p.a + 1);
        ++incs;
      }
    }
    increments += incs;
    for (const auto& [k, v] : expect) own_final[static_cast<std::size_t>(t)][k] = v;
  });
  crowd.join_or_abort(std::chrono::milliseconds(600000));
  EXPECT_EQ(failures.load(), 0);

  std::uint64_t total = 0;
  std::size_t entries = 0;
  map.for_each([&](const SmallString& k_stored, const Pair& v) {
    const std::string k = k_stored.str();
    ++entries;
    if (k.rfind("shared-", 0) == 0) total += v.a;
  });
  EXPECT_EQ(total, static_cast<std::uint64_t>(increments.load()));
  std::size_t own_entries = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (const auto& [k, v] : own_final[static_cast<std::size_t>(t)]) {
      auto ref = map.get(k);
      ASSERT_TRUE(ref) << k;
      EXPECT_EQ(ref->a, v) << k;
      ++own_entries;
    }
  }
  EXPECT_EQ(entries - own_entries, static_cast<std::size_t>(kShared));
  for (std::size_t i = 0; i < TestAccess::shard_count(map); ++i)
    EXPECT_EQ(TestAccess::raw_state(TestAccess::shard_lock(map, i)), 0u);
}

TEST(Stress, CoreOperationsFromManyThreads) {
  const int ops = 20000 * scale();
  constexpr int kKeys = 4;
  CoordinationState state;
  std::vector<std::string> agents;
  for (int t = 0; t < kThreads; ++t) agents.push_back("w" + std::to_string(t));
  for (const auto& a : agents) {  // every agent known before the storm
    send_message(state, "setup", a, "setup");
    drain_inbox(state, a);
  }
  std::array<std::atomic<int>, kKeys> holder;  // believed holder, -1 for none
  for (auto& h : holder) h.store(-1);
  std::atomic<long> failures{0};
  std::vector<std::vector<std::string>> direct(kThreads);  // [sender]: "to|content"
  std::vector<std::vector<std::string>> bcasts(kThreads);
  std::vector<std::vector<std::string>> received(kThreads);
  std::vector<std::string> status_end(kThreads);
  auto name_of = [](int k) { return "path-" + std::to_string(k); };

  Crowd crowd(kThreads, [&](int t) {
    std::mt19937 rng(static_cast<unsigned>(t) * 7u + 3u);
    const std::string& me = agents[static_cast<std::size_t>(t)];
    std::unordered_set<int> held;
    std::string word = "idle";
    int seq = 0;
    for (int i = 0; i < ops; ++i) {
      const unsigned r = rng() % 100;
      const int k = static_cast<int>(rng() % kKeys);
      const std::string key = "file:" + name_of(k);
      if (r < 25) {
        auto out = claim_resource(state, ClaimKind::File, me, name_of(k));
        if (out.ok()) {
          int none = -1;
          // Exactly one live holder per key: nobody may believe it holds it.
          if (!holder[static_cast<std::size_t>(k)].compare_exchange_strong(
                  none, t, std::memory_order_relaxed)) {
            failures++;
          }
          if (out.value().holder != me) failures++;
          held.insert(k);
          word = "busy";
        } else if (out.error().find(" already holds claim on " + name_of(k)) == std::string::npos) {
          failures++;
        }
      } else if (r < 35) {
        if (held.empty()) continue;
        const int h = *held.begin();
        held.erase(h);
        // Dropped before the release, so that a claim granted right after it
        // finds no believer; relaxed, so that only the core's locks order threads.
        holder[static_cast<std::size_t>(h)].store(-1, std::memory_order_relaxed);
        if (!release(state, me, "file:" + name_of(h)).ok()) failures++;
        word = "idle";
      } else if (r < 40) {
        if (held.count(k) != 0) continue;
        auto out = renew_claim(state, me, key);
        if (out.ok()) failures++;
      } else if (r < 45) {
        if (held.empty()) continue;
        auto out = renew_claim(state, me, "file:" + name_of(*held.begin()));
        if (!out.ok() || out.value().holder != me) failures++;
      } else if (r < 65) {
        const std::string& to = agents[rng() % agents.size()];
        const std::string content = me + "." + std::to_string(++seq);
        const Message m = send_message(state, me, to, content);
        if (m.from_agent != me || m.content != content || !m.to_agent || *m.to_agent != to)
          failures++;
        direct[static_cast<std::size_t>(t)].push_back(to + "|" + content);
      } else if (r < 70) {
        const std::string content = me + "." + std::to_string(++seq);
        const Message m = broadcast(state, me, content);
        if (m.to_agent.has_value() || m.content != content) failures++;
        bcasts[static_cast<std::size_t>(t)].push_back(content);
      } else if (r < 85) {
        Inbox got = drain_inbox(state, me);
        for (std::size_t j = 0; j < got.size(); ++j) {
          received[static_cast<std::size_t>(t)].push_back(std::string(got[j].content()));
        }
      } else if (r < 92) {
        for (const StoredMessage& m : inbox(state, me)) {
          if (m.content().empty()) failures++;
        }
      } else {
        if (status_word(status(state, me)) != word) failures++;
      }
    }
    status_end[static_cast<std::size_t>(t)] = word;
  });
  crowd.join_or_abort(std::chrono::milliseconds(600000));
  EXPECT_EQ(failures.load(), 0);

  // Claims: the stored holders are the believed ones.
  for (int k = 0; k < kKeys; ++k) {
    auto out = renew_claim(state, "\x01probe", "file:" + name_of(k));
    const int h = holder[static_cast<std::size_t>(k)].load();
    if (h < 0) {
      EXPECT_FALSE(out.ok());
      EXPECT_EQ(out.error(), "no claim on file:" + name_of(k) + " to renew");
    } else {
      EXPECT_EQ(out.error(),
                "\x01probe cannot renew a claim held by " + agents[static_cast<std::size_t>(h)]);
    }
  }
  // Messages: per recipient, drained + left == sent, nothing twice, each
  // sender's messages in its order.
  std::vector<std::string> all_bcasts;
  for (const auto& b : bcasts) all_bcasts.insert(all_bcasts.end(), b.begin(), b.end());
  for (int t = 0; t < kThreads; ++t) {
    const std::string& me = agents[static_cast<std::size_t>(t)];
    std::vector<std::string> got = received[static_cast<std::size_t>(t)];
    Inbox rest = drain_inbox(state, me);
    for (std::size_t j = 0; j < rest.size(); ++j) got.push_back(std::string(rest[j].content()));
    std::vector<std::string> want = all_bcasts;
    for (const auto& d : direct) {
      for (const auto& entry : d) {
        const auto bar = entry.find('|');
        if (entry.compare(0, bar, me) == 0 && bar == me.size())
          want.push_back(entry.substr(bar + 1));
      }
    }
    std::map<std::string, int> last_seq;
    for (const auto& c : got) {
      const auto dot = c.find('.');
      const int n = std::atoi(c.c_str() + dot + 1);
      int& last = last_seq[c.substr(0, dot)];
      EXPECT_LT(last, n) << me << " got " << c << " out of order";
      last = n;
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << "messages of " << me;
    EXPECT_EQ(status_word(status(state, me)), status_end[static_cast<std::size_t>(t)]);
  }
  EXPECT_TRUE(test::all_shards_free(state));
}

}  // namespace
}  // namespace halvex
