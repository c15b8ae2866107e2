// Helpers shared by the core's unit tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "state/record.hpp"
#include "state/containers/shard_lock.hpp"
#include "state/types.hpp"

namespace halvex {

// The internals that only tests read, reached as the classes' friend.
struct TestAccess {
  // A racy snapshot of a lock's word.
  static std::uint64_t raw_state(const ShardLock& l) noexcept {
    return l.state_.load(std::memory_order_relaxed);
  }

  // A map's entries, counted shard by shard under read locks.
  template <class Map>
  static std::size_t len(const Map& m) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < m.shard_count_; ++i) {
      std::shared_lock<ShardLock> g(m.shards_[i].lock);
      n += m.shards_[i].table.size();
    }
    return n;
  }
  template <class Map>
  static std::size_t shard_count(const Map& m) noexcept {
    return m.shard_count_;
  }
  template <class Map>
  static ShardLock& shard_lock(const Map& m, std::size_t i) noexcept {
    return m.shards_[i].lock;
  }
  template <class Map>
  static HashKeys hash_keys(const Map& m) noexcept {
    return m.keys_;
  }
  template <class Map>
  static std::uint64_t hash(const Map& m, typename Map::View key) noexcept {
    return m.hash(key);
  }
  // The shard an iteration is in (the shard count once finished).
  template <class Iter>
  static std::size_t iter_shard(const Iter& it) noexcept {
    return it.shard_;
  }

  template <class Map>
  static std::size_t shard_index_of(const Map& m, typename Map::View key) noexcept {
    return m.shard_index(m.hash(key));
  }

  static bool shares_block(const StoredMessage& a, const StoredMessage& b) noexcept {
    return a.blob_ == b.blob_;
  }

  // How many holders share a message's block.
  static std::uint32_t holders(const StoredMessage& m) noexcept {
    return m.holders().load(std::memory_order_relaxed);
  }

  // Every pointer-aligned word of the journal's chunks, as a leak checker
  // scanning them would read it.
  static std::vector<const void*> aligned_words(const Journal& j) {
    std::vector<const void*> out;
    for (const Journal::Chunk& c : j.chunks_) {
      const auto base = reinterpret_cast<std::uintptr_t>(c.data.get());
      for (std::uintptr_t a = (base + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*);
           a + sizeof(void*) <= base + c.cap; a += sizeof(void*)) {
        const void* w;
        std::memcpy(&w, reinterpret_cast<const void*>(a), sizeof w);
        out.push_back(w);
      }
    }
    return out;
  }

  // The blocks the journal's records share, in append order.
  static std::vector<const void*> shared_blocks(const Journal& j) {
    std::vector<const void*> out;
    j.for_each_record([&](const Journal::Record& r) {
      if (r.block != nullptr) out.push_back(r.block);
    });
    return out;
  }

  static const void* block_of(const StoredMessage& m) noexcept { return m.blob_; }

  // The journal's records as ActivityEvent values, in append order.
  static std::vector<ActivityEvent> decode(const Journal& j) {
    std::vector<ActivityEvent> out;
    j.for_each_record([&](const Journal::Record& r) {
      const std::string_view* f = r.fields;
      if (r.block != nullptr) {
        // Lent for reading: the journal keeps its share.
        StoredMessage m = StoredMessage::adopt(r.block);
        const std::string_view texts[3] = {m.from_agent(), m.to_agent().value_or(""), m.content()};
        m.release_block();
        if (r.tag == Journal::kSharedMessageSent) {
          out.emplace_back(event::MessageSent{std::string(texts[0]), std::string(texts[1]),
                                              std::string(texts[2]), r.at});
        } else {
          out.emplace_back(
              event::BroadcastSent{std::string(texts[0]), std::string(texts[2]), r.at});
        }
        return;
      }
      switch (static_cast<EventKind>(r.tag)) {
        case EventKind::Claimed:
          out.emplace_back(event::Claimed{std::string(f[0]), std::string(f[1]), r.at});
          break;
        case EventKind::Released:
          out.emplace_back(event::Released{std::string(f[0]), std::string(f[1]), r.at});
          break;
        case EventKind::MessageSent:
          out.emplace_back(
              event::MessageSent{std::string(f[0]), std::string(f[1]), std::string(f[2]), r.at});
          break;
        case EventKind::BroadcastSent:
          out.emplace_back(event::BroadcastSent{std::string(f[0]), std::string(f[1]), r.at});
          break;
      }
    });
    return out;
  }
};

}  // namespace halvex

namespace halvex::test {

using namespace std::chrono_literals;

// "<prefix><n>". Built by appending: GCC 12 at -O3 warns (-Wrestrict, a
// false positive) on "literal" + std::to_string(n).
template <class N>
std::string numbered(std::string_view prefix, N n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

// Polls `pred` until it holds or `timeout` has passed; returns its last value.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(100us);
  }
  return true;
}

// Some thread gave up spinning and sleeps on the lock's word.
// Held in either mode (parked waiters aside).
inline bool is_locked(const ShardLock& l) {
  return (TestAccess::raw_state(l) & ~ShardLock::kParked) != 0;
}

inline bool has_parked_waiter(const ShardLock& l) {
  return (TestAccess::raw_state(l) & ShardLock::kParked) != 0;
}

// Runs fn(i) on n threads that all start together, to make them collide.
class Crowd {
 public:
  Crowd(int n, std::function<void(int)> fn) {
    threads_.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      threads_.emplace_back([this, i, fn, n] {
        arrived_.fetch_add(1);
        while (arrived_.load() < n) std::this_thread::yield();
        fn(i);
        finished_.fetch_add(1);
      });
    }
  }
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;
  ~Crowd() { join(); }

  int finished() const { return finished_.load(); }

  void join() {
    for (auto& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

  // For tests where a lost wake-up would hang the threads for ever: a crowd
  // that is not done in time ends this test process with a message instead.
  void join_or_abort(std::chrono::milliseconds timeout = 10000ms) {
    const int n = static_cast<int>(threads_.size());
    if (!eventually([&] { return finished() == n; }, timeout)) {
      std::fprintf(stderr, "threads still blocked after %lld ms: %d of %d finished\n",
                   static_cast<long long>(timeout.count()), finished(), n);
      std::abort();
    }
    join();
  }

 private:
  std::vector<std::thread> threads_;
  std::atomic<int> arrived_{0};
  std::atomic<int> finished_{0};
};

// Every activity record, bucket by bucket in key order, each bucket in the
// order of its appends.
struct LoggedEvent {
  UnixSeconds bucket;
  ActivityEvent event;
};

inline std::vector<LoggedEvent> activity_events(const CoordinationState& s) {
  std::vector<std::pair<UnixSeconds, std::vector<ActivityEvent>>> buckets;
  s.activity_log->for_each([&](UnixSeconds k, const ActivityBucket& b) {
    buckets.emplace_back(k, TestAccess::decode(b));
  });
  std::sort(buckets.begin(), buckets.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<LoggedEvent> out;
  for (auto& [k, b] : buckets) {
    for (ActivityEvent& e : b) out.push_back(LoggedEvent{k, std::move(e)});
  }
  return out;
}

// A key "<prefix><n>" that `map` files in shard `shard`.
template <class Map>
std::string key_in_shard(const Map& map, std::size_t shard, std::string_view prefix = "key-") {
  for (unsigned n = 0;; ++n) {
    std::string k = numbered(prefix, n);
    if (TestAccess::shard_index_of(map, k) == shard) return k;
  }
}

// True when no shard of any of the record's maps is locked.
inline bool all_shards_free(const CoordinationState& s) {
  auto free = [](const auto& map) {
    for (std::size_t i = 0; i < TestAccess::shard_count(map); ++i) {
      if (is_locked(TestAccess::shard_lock(map, i))) return false;
    }
    return true;
  };
  return free(*s.claims) && free(*s.statuses) && free(*s.inboxes) && free(*s.activity_log);
}

}  // namespace halvex::test
