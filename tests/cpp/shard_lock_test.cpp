// ShardLock under real threads: exclusion, reader sharing, parking and
// waking, and the state word of the uncontended paths.
#include "state/containers/shard_lock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>

#include "test_support.hpp"

namespace halvex {
namespace {

using test::Crowd;
using test::eventually;
using test::has_parked_waiter;
using namespace std::chrono_literals;

constexpr std::uint64_t kWriter = ShardLock::kWriter;
constexpr std::uint64_t kReader = ShardLock::kOneReader;

TEST(ShardLockUncontended, FreeLockTakenAndReleasedInPlace) {
  ShardLock l;
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
  EXPECT_FALSE(test::is_locked(l));

  l.lock();
  EXPECT_EQ(TestAccess::raw_state(l), kWriter);
  EXPECT_TRUE(test::is_locked(l));
  l.unlock();
  EXPECT_EQ(TestAccess::raw_state(l), 0u);

  l.lock_shared();
  EXPECT_EQ(TestAccess::raw_state(l), kReader);
  l.lock_shared();
  EXPECT_EQ(TestAccess::raw_state(l), 2 * kReader);
  l.unlock_shared();
  EXPECT_EQ(TestAccess::raw_state(l), kReader);
  l.unlock_shared();
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
  EXPECT_FALSE(test::is_locked(l));
}

TEST(ShardLockUncontended, TryLockModes) {
  ShardLock l;
  ASSERT_TRUE(l.try_lock());
  EXPECT_EQ(TestAccess::raw_state(l), kWriter);
  EXPECT_FALSE(l.try_lock());
  EXPECT_FALSE(l.try_lock_shared());
  EXPECT_EQ(TestAccess::raw_state(l), kWriter);  // failed attempts leave no trace
  l.unlock();

  ASSERT_TRUE(l.try_lock_shared());
  EXPECT_TRUE(l.try_lock_shared());  // readers share
  EXPECT_EQ(TestAccess::raw_state(l), 2 * kReader);
  EXPECT_FALSE(l.try_lock());  // but exclude a writer
  l.unlock_shared();
  EXPECT_FALSE(l.try_lock());
  l.unlock_shared();
  EXPECT_TRUE(l.try_lock());
  l.unlock();
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

TEST(ShardLockUncontended, StandardLocksReleaseOnceAndMove) {
  ShardLock l;
  {
    std::unique_lock<ShardLock> g(l);
    EXPECT_TRUE(g.owns_lock());
    std::unique_lock<ShardLock> moved(std::move(g));
    EXPECT_FALSE(g.owns_lock());
    EXPECT_EQ(TestAccess::raw_state(l), kWriter);
    moved.unlock();
    EXPECT_EQ(TestAccess::raw_state(l), 0u);
  }
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
  {
    std::shared_lock<ShardLock> a(l);
    std::shared_lock<ShardLock> b(l);
    EXPECT_EQ(TestAccess::raw_state(l), 2 * kReader);
    a = std::move(b);  // drops a's hold, takes over b's
    EXPECT_EQ(TestAccess::raw_state(l), kReader);
  }
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

// Writers never overlap each other or any reader. A plain counter written
// only by writers also checks that the lock orders memory (lost updates
// show up in its final value; ThreadSanitizer sees any missing ordering).
TEST(ShardLockContended, WritersExcludeEveryoneReadersExcludeWriters) {
  ShardLock l;
  std::atomic<int> writers_in{0};
  std::atomic<int> readers_in{0};
  std::atomic<int> violations{0};
  std::uint64_t protected_count = 0;
  constexpr int kThreads = 4;
  constexpr int kOps = 15000;
  std::atomic<std::uint64_t> writes_done{0};

  Crowd crowd(kThreads, [&](int id) {
    std::mt19937 rng(static_cast<unsigned>(id) + 17);
    for (int i = 0; i < kOps; ++i) {
      if (rng() % 4 == 0) {
        l.lock();
        if (writers_in.fetch_add(1) != 0 || readers_in.load() != 0) violations.fetch_add(1);
        ++protected_count;
        if (writers_in.fetch_sub(1) != 1 || readers_in.load() != 0) violations.fetch_add(1);
        l.unlock();
        writes_done.fetch_add(1);
      } else {
        l.lock_shared();
        readers_in.fetch_add(1);
        if (writers_in.load() != 0) violations.fetch_add(1);
        volatile std::uint64_t seen = protected_count;
        (void)seen;
        readers_in.fetch_sub(1);
        l.unlock_shared();
      }
    }
  });
  crowd.join_or_abort(30s);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(protected_count, writes_done.load());
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

// Try-variants under contention keep the same exclusion.
TEST(ShardLockContended, TryLockNeverBreaksExclusion) {
  ShardLock l;
  std::atomic<int> writers_in{0};
  std::atomic<int> readers_in{0};
  std::atomic<int> violations{0};
  std::atomic<int> wins{0};
  Crowd crowd(4, [&](int id) {
    for (int i = 0; i < 20000; ++i) {
      if ((i + id) % 3 == 0) {
        if (!l.try_lock()) continue;
        wins.fetch_add(1);
        if (writers_in.fetch_add(1) != 0 || readers_in.load() != 0) violations.fetch_add(1);
        writers_in.fetch_sub(1);
        l.unlock();
      } else {
        if (!l.try_lock_shared()) continue;
        readers_in.fetch_add(1);
        if (writers_in.load() != 0) violations.fetch_add(1);
        readers_in.fetch_sub(1);
        l.unlock_shared();
      }
    }
  });
  crowd.join_or_abort(30s);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GT(wins.load(), 0);
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

TEST(ShardLockContended, ManyReadersHoldItTogether) {
  ShardLock l;
  constexpr int kReaders = 6;
  std::atomic<int> holding{0};
  std::atomic<bool> go_home{false};
  Crowd crowd(kReaders, [&](int) {
    l.lock_shared();
    holding.fetch_add(1);
    while (!go_home.load()) std::this_thread::sleep_for(100us);
    l.unlock_shared();
  });
  // Every reader gets in while the others still hold the lock.
  const bool all_in = eventually([&] { return holding.load() == kReaders; });
  EXPECT_TRUE(all_in) << holding.load() << " readers got in";
  if (all_in) {
    EXPECT_EQ(TestAccess::raw_state(l) & ~ShardLock::kParked, kReaders * kReader);
    EXPECT_FALSE(l.try_lock());
  }
  go_home = true;
  crowd.join_or_abort();
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

// Waiters that exhaust their spinning and yielding park on the word; the
// release must wake every one of them, readers and writers alike.
TEST(ShardLockContended, ParkedReadersAndWritersAreWokenByUnlock) {
  ShardLock l;
  l.lock();
  std::atomic<int> got_in{0};
  Crowd crowd(6, [&](int id) {
    if (id % 2 == 0) {
      l.lock();
      got_in.fetch_add(1);
      l.unlock();
    } else {
      l.lock_shared();
      got_in.fetch_add(1);
      l.unlock_shared();
    }
  });
  EXPECT_TRUE(eventually([&] { return has_parked_waiter(l); }));
  std::this_thread::sleep_for(50ms);  // long enough for all of them to park
  EXPECT_EQ(got_in.load(), 0);
  EXPECT_TRUE(TestAccess::raw_state(l) & kWriter);
  l.unlock();
  crowd.join_or_abort();
  EXPECT_EQ(got_in.load(), 6);
  EXPECT_EQ(TestAccess::raw_state(l), 0u);  // the parked bit does not outlive the waiters
}

// A parked writer waits for the last of several readers; the earlier reader
// releases must not hand it the lock.
TEST(ShardLockContended, ParkedWriterWokenByLastReader) {
  ShardLock l;
  l.lock_shared();
  l.lock_shared();
  std::atomic<bool> writer_in{false};
  Crowd writer(1, [&](int) {
    l.lock();
    writer_in = true;
    l.unlock();
  });
  EXPECT_TRUE(eventually([&] { return has_parked_waiter(l); }));
  l.unlock_shared();
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writer_in.load());
  EXPECT_EQ(TestAccess::raw_state(l) & ~ShardLock::kParked, kReader);
  l.unlock_shared();
  writer.join_or_abort();
  EXPECT_TRUE(writer_in.load());
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

// Readers are not held back by a writer that is waiting for them.
TEST(ShardLockContended, ReadersEnterWhileWriterWaits) {
  ShardLock l;
  l.lock_shared();
  std::atomic<bool> writer_in{false};
  Crowd writer(1, [&](int) {
    l.lock();
    writer_in = true;
    l.unlock();
  });
  EXPECT_TRUE(eventually([&] { return has_parked_waiter(l); }));

  EXPECT_TRUE(l.try_lock_shared());
  std::atomic<bool> reader_in{false};
  Crowd reader(1, [&](int) {
    l.lock_shared();
    reader_in = true;
    l.unlock_shared();
  });
  reader.join_or_abort();
  EXPECT_TRUE(reader_in.load());
  EXPECT_FALSE(writer_in.load());

  l.unlock_shared();
  l.unlock_shared();
  writer.join_or_abort();
  EXPECT_TRUE(writer_in.load());
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

// Long holds mixed with short ones: every waiter keeps going through repeated
// park and wake cycles.
TEST(ShardLockContended, RepeatedParkWakeCyclesLoseNoWaiter) {
  ShardLock l;
  std::atomic<int> writers_in{0};
  std::atomic<int> violations{0};
  std::atomic<int> done{0};
  Crowd crowd(4, [&](int id) {
    for (int i = 0; i < 40; ++i) {
      if (id == 0 || i % 2 == 0) {
        l.lock();
        if (writers_in.fetch_add(1) != 0) violations.fetch_add(1);
        if (id == 0) std::this_thread::sleep_for(1ms);  // long enough to make others park
        writers_in.fetch_sub(1);
        l.unlock();
      } else {
        l.lock_shared();
        if (writers_in.load() != 0) violations.fetch_add(1);
        l.unlock_shared();
      }
      done.fetch_add(1);
    }
  });
  crowd.join_or_abort(20s);
  EXPECT_EQ(done.load(), 160);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(TestAccess::raw_state(l), 0u);
}

}  // namespace
}  // namespace halvex
