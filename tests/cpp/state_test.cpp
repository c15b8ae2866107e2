// The CoordinationState record, the per-thread hash keys of its maps, the
// clock, and the activity log append.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "state/activity_log.hpp"
#include "state/clock.hpp"
#include "state/fault.hpp"
#include "state/journal.hpp"
#include "state/platform/filetime.hpp"
#include "state/record.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

TEST(Record, NewRecordIsEmptyWithLeaseConstants) {
  CoordinationState s;
  EXPECT_EQ(s.lease_secs, 300u);
  EXPECT_EQ(s.lease_grace_secs, 0u);
  EXPECT_EQ(TestAccess::len(*s.claims), 0u);
  EXPECT_EQ(TestAccess::len(*s.statuses), 0u);
  EXPECT_EQ(TestAccess::len(*s.inboxes), 0u);
  EXPECT_EQ(TestAccess::len(*s.activity_log), 0u);
  // Each map is held once, by the record alone.
  EXPECT_EQ(s.claims.use_count(), 1);
  EXPECT_EQ(s.activity_log.use_count(), 1);
}

// ---------------------------------------------------------------- hash keys

std::vector<HashKeys> keys_of(const CoordinationState& s) {
  return {TestAccess::hash_keys(*s.claims), TestAccess::hash_keys(*s.statuses),
          TestAccess::hash_keys(*s.inboxes), TestAccess::hash_keys(*s.activity_log)};
}

TEST(HashKeys, ConsecutiveK0InFieldOrderAcrossRecords) {
  CoordinationState a;
  CoordinationState b;
  const auto ka = keys_of(a);
  const auto kb = keys_of(b);
  for (std::uint64_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ka[i].k0, ka[0].k0 + i) << "map " << i;
    EXPECT_EQ(ka[i].k1, ka[0].k1) << "map " << i;
    EXPECT_EQ(kb[i].k0, ka[0].k0 + 4 + i) << "map " << i;
    EXPECT_EQ(kb[i].k1, ka[0].k1) << "map " << i;
  }
}

TEST(HashKeys, RecordsBuiltOneAfterAnotherNeverShareKeys) {
  CoordinationState a;
  CoordinationState b;
  for (const HashKeys& x : keys_of(a)) {
    for (const HashKeys& y : keys_of(b)) EXPECT_FALSE(x.k0 == y.k0 && x.k1 == y.k1);
  }
  // With different keys the same string hashes differently in each map.
  EXPECT_NE(TestAccess::hash(*a.statuses, "agent-a"), TestAccess::hash(*b.statuses, "agent-a"));
}

TEST(HashKeys, AnotherThreadDrawsItsOwnPair) {
  CoordinationState here;
  std::vector<HashKeys> there;
  std::thread([&] {
    CoordinationState s;
    there = keys_of(s);
  }).join();
  const HashKeys mine = TestAccess::hash_keys(*here.claims);
  ASSERT_EQ(there.size(), 4u);
  // Drawn independently: the k1 halves differ, and the other thread's k0
  // does not continue this thread's sequence.
  EXPECT_NE(there[0].k1, mine.k1);
  EXPECT_FALSE(there[0].k0 - mine.k0 < 64);
  for (std::uint64_t i = 0; i < 4; ++i) EXPECT_EQ(there[i].k0, there[0].k0 + i);
}

TEST(HashKeys, ThreadsBuildingMapsAtOnceAgreeOnShardCount) {
  std::vector<std::size_t> counts(4);
  test::Crowd crowd(4, [&](int i) {
    CoordinationState s;
    counts[static_cast<std::size_t>(i)] = TestAccess::shard_count(*s.inboxes);
  });
  crowd.join();
  for (std::size_t c : counts) EXPECT_EQ(c, shard_amount());
}

// ---------------------------------------------------------------- clock

TEST(Clock, TicksRoundDownToWholeSeconds) {
  EXPECT_EQ(unix_seconds_from_ticks(0), 0u);
  EXPECT_EQ(unix_seconds_from_ticks(9'999'999), 0u);
  EXPECT_EQ(unix_seconds_from_ticks(10'000'000), 1u);
  EXPECT_EQ(unix_seconds_from_ticks(19'999'999), 1u);
  EXPECT_EQ(unix_seconds_from_ticks(INT64_MAX), static_cast<UnixSeconds>(INT64_MAX / 10'000'000));
}

void expect_before_epoch(std::int64_t ticks) {
  try {
    (void)unix_seconds_from_ticks(ticks);
    ADD_FAILURE() << ticks << " ticks did not fail";
  } catch (const Fault& f) {
    const std::string prefix = "system clock before unix epoch: ";
    const std::string msg = f.what();
    EXPECT_EQ(msg.compare(0, prefix.size(), prefix), 0) << msg;
    EXPECT_GT(msg.size(), prefix.size()) << "no description after the colon";
  }
}

TEST(Clock, AnyTimeBeforeTheEpochFails) {
  expect_before_epoch(-1);          // 100 ns before
  expect_before_epoch(-5'000'000);  // half a second: would truncate to 0
  expect_before_epoch(-10'000'000);
  expect_before_epoch(INT64_MIN);
}

TEST(Clock, WindowsFileTimesCountFrom1601) {
  using platform::unix_ticks_from_filetime;
  constexpr std::int64_t epoch = 116'444'736'000'000'000;  // 1970 in 100 ns ticks since 1601
  EXPECT_EQ(unix_seconds_from_ticks(unix_ticks_from_filetime(epoch)), 0u);
  EXPECT_EQ(unix_seconds_from_ticks(unix_ticks_from_filetime(epoch + 9'999'999)), 0u);
  // 2026-12-07 00:00:00 UTC
  EXPECT_EQ(unix_seconds_from_ticks(unix_ticks_from_filetime(epoch + 1'796'601'600LL * 10'000'000)),
            1'796'601'600u);
  expect_before_epoch(unix_ticks_from_filetime(epoch - 1));
  expect_before_epoch(unix_ticks_from_filetime(0));  // 1601 itself
}

TEST(Clock, NowIsPlausibleAndMovesForward) {
  const UnixSeconds a = now_secs();
  EXPECT_GT(a, 1577836800u);  // after 2020-01-01
  EXPECT_LT(a, 4102444800u);  // before 2100-01-01
  const UnixSeconds b = now_secs();
  EXPECT_GE(b, a);
  EXPECT_LE(b - a, 1u);
}

// ---------------------------------------------------------------- activity log

TEST(ActivityLog, AppendsFileUnderTheirOwnSecondInOrder) {
  CoordinationState s;
  const UnixSeconds before = now_secs();
  for (int i = 0; i < 5; ++i) {
    append_activity(*s.activity_log,
                    EventView::broadcast_sent(test::numbered("agent-", i), "x", now_secs()));
  }
  const UnixSeconds after = now_secs();
  const auto events = test::activity_events(s);
  ASSERT_EQ(events.size(), 5u);
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_GE(events[i].bucket, before);
    EXPECT_LE(events[i].bucket, after);
    const auto* e = std::get_if<event::BroadcastSent>(&events[i].event);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->from_agent, test::numbered("agent-", i));
    // The record is filed under its own reading, never a second one.
    EXPECT_EQ(e->at, events[i].bucket);
  }
  EXPECT_LE(TestAccess::len(*s.activity_log), 2u);  // one bucket, two if a second ended meanwhile
}

TEST(ActivityLog, ConcurrentAppendsAllLand) {
  CoordinationState s;
  constexpr int kThreads = 4;
  constexpr int kEach = 3000;
  test::Crowd crowd(kThreads, [&](int id) {
    for (int i = 0; i < kEach; ++i) {
      append_activity(*s.activity_log,
                      EventView::message_sent(std::to_string(id), "to", std::to_string(i), 0));
    }
  });
  crowd.join();
  const auto events = test::activity_events(s);
  ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kEach));
  // Each thread's records keep their order (buckets come in key order).
  std::vector<int> next(kThreads, 0);
  for (const auto& le : events) {
    const auto& m = std::get<event::MessageSent>(le.event);
    const int id = std::stoi(m.from_agent);
    EXPECT_EQ(std::stoi(m.content), next[static_cast<std::size_t>(id)]++);
  }
  EXPECT_TRUE(test::all_shards_free(s));
}

// Records as comparable text.
struct Describe {
  std::string operator()(const event::Claimed& r) const {
    return "claimed " + r.agent_id + " " + r.resource_key + " " + std::to_string(r.at);
  }
  std::string operator()(const event::Released& r) const {
    return "released " + r.agent_id + " " + r.resource_key + " " + std::to_string(r.at);
  }
  std::string operator()(const event::MessageSent& r) const {
    return "sent " + r.from_agent + " " + r.to_agent + " " + r.content + " " + std::to_string(r.at);
  }
  std::string operator()(const event::BroadcastSent& r) const {
    return "broadcast " + r.from_agent + " " + r.content + " " + std::to_string(r.at);
  }
};

std::vector<std::string> describe(const std::vector<ActivityEvent>& events) {
  std::vector<std::string> out;
  for (const ActivityEvent& e : events) out.push_back(std::visit(Describe{}, e));
  return out;
}

// A record that shares a message block keeps the block's pointer in an
// aligned word, where a leak checker scanning a live log finds it; plain
// records of every length around it, across chunks of every size.
TEST(ActivityLog, SharedBlocksSitInAlignedWordsAndComeBackInOrder) {
  std::vector<StoredMessage> sent;
  {
    Journal j;
    std::vector<ActivityEvent> want;
    const std::string to = "to";
    const std::string_view to_view = to;
    for (int i = 0; i < 3000; ++i) {
      const std::string name(static_cast<std::size_t>(i % 13), 'n');
      j.append(EventView::claimed(name, "file:x", 7));
      want.emplace_back(event::Claimed{name, "file:x", 7});
      const UnixSeconds at = 1000 + static_cast<UnixSeconds>(i);
      sent.emplace_back(test::numbered("from-", i), i % 2 ? &to_view : nullptr,
                        std::string(static_cast<std::size_t>(i % 40), 'c'), at);
      j.append_message(sent.back());
      if (i % 2) {
        want.emplace_back(event::MessageSent{test::numbered("from-", i), to,
                                             std::string(static_cast<std::size_t>(i % 40), 'c'),
                                             at});
      } else {
        want.emplace_back(event::BroadcastSent{
            test::numbered("from-", i), std::string(static_cast<std::size_t>(i % 40), 'c'), at});
      }
    }
    // A record larger than any chunk, then one more message after it.
    j.append(EventView::released(std::string(100'000, 'r'), "task:t", 9));
    want.emplace_back(event::Released{std::string(100'000, 'r'), "task:t", 9});
    sent.emplace_back("last", nullptr, "x", 5);
    j.append_message(sent.back());
    want.emplace_back(event::BroadcastSent{"last", "x", 5});

    EXPECT_EQ(describe(TestAccess::decode(j)), describe(want));
    const std::vector<const void*> blocks = TestAccess::shared_blocks(j);
    ASSERT_EQ(blocks.size(), sent.size());
    std::vector<const void*> words = TestAccess::aligned_words(j);
    std::sort(words.begin(), words.end());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(blocks[i], TestAccess::block_of(sent[i]));
      EXPECT_TRUE(std::binary_search(words.begin(), words.end(), blocks[i])) << "record " << i;
      EXPECT_EQ(TestAccess::holders(sent[i]), 2u);
    }
  }
  // The journal gave its shares back.
  for (const StoredMessage& m : sent) EXPECT_EQ(TestAccess::holders(m), 1u);
}

}  // namespace
}  // namespace halvex
