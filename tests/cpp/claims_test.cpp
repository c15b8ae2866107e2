// Claims: grants, refusals, expiry and takeover, renewal and release, the
// locks a takeover holds, and atomicity under real threads.
#include "claims/claims.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "messaging/messaging.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

using test::activity_events;
using test::all_shards_free;
using test::Crowd;
using test::eventually;
using test::has_parked_waiter;
using namespace std::chrono_literals;

Outcome<Claim> claim_file(const CoordinationState& s, std::string agent, std::string path) {
  return claim_resource(s, ClaimKind::File, std::move(agent), std::move(path));
}
Outcome<Claim> claim_task(const CoordinationState& s, std::string agent, std::string id) {
  return claim_resource(s, ClaimKind::Task, std::move(agent), std::move(id));
}

// Makes a stored claim look as if it was granted or renewed `ago` seconds
// before now (a negative `ago` puts it in the future, as after the clock was
// set back).
void age_claim(const CoordinationState& s, const std::string& key, long long claimed_ago,
               long long renewed_ago) {
  auto e = s.claims->entry(key);
  ASSERT_TRUE(e.occupied()) << key;
  const auto now = static_cast<long long>(now_secs());
  e.get().claimed_at = static_cast<UnixSeconds>(now - claimed_ago);
  e.get().renewed_at = static_cast<UnixSeconds>(now - renewed_ago);
}

void age_claim(const CoordinationState& s, const std::string& key, long long ago) {
  age_claim(s, key, ago, ago);
}

std::string holder_of(const CoordinationState& s, const std::string& key) {
  auto e = s.claims->entry(key);
  return e.occupied() ? e.get().holder.str() : std::string("<none>");
}

bool has_status(const CoordinationState& s, const std::string& agent) {
  return static_cast<bool>(s.statuses->get(agent));
}

// A compact view of the log for comparisons: "Claimed agent key" lines.
std::vector<std::string> log_lines(const CoordinationState& s) {
  std::vector<std::string> out;
  for (const auto& le : activity_events(s)) {
    if (const auto* c = std::get_if<event::Claimed>(&le.event)) {
      out.push_back("Claimed " + c->agent_id + " " + c->resource_key);
    } else if (const auto* r = std::get_if<event::Released>(&le.event)) {
      out.push_back("Released " + r->agent_id + " " + r->resource_key);
    } else {
      out.push_back("other");
    }
  }
  return out;
}

using Lines = std::vector<std::string>;

// ---------------------------------------------------------------- grants

TEST(ClaimGrant, StoresClaimMarksBusyAndLogs) {
  CoordinationState s;
  const UnixSeconds before = now_secs();
  auto r = claim_file(s, "agent-a", "src/lib.rs");
  const UnixSeconds after = now_secs();
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().holder, "agent-a");
  EXPECT_GE(r.value().claimed_at, before);
  EXPECT_LE(r.value().renewed_at, after);
  // One clock reading per call serves every timestamp it takes.
  EXPECT_EQ(r.value().claimed_at, r.value().renewed_at);

  {
    auto e = s.claims->entry("file:src/lib.rs");
    ASSERT_TRUE(e.occupied());
    EXPECT_EQ(e.get().holder, "agent-a");
    EXPECT_EQ(e.get().claimed_at, r.value().claimed_at);
  }
  EXPECT_EQ(TestAccess::len(*s.claims), 1u);
  EXPECT_EQ(status(s, "agent-a"), AgentStatus::Busy);

  const auto events = activity_events(s);
  ASSERT_EQ(events.size(), 1u);
  const auto& c = std::get<event::Claimed>(events[0].event);
  EXPECT_EQ(c.agent_id, "agent-a");
  EXPECT_EQ(c.resource_key, "file:src/lib.rs");
  EXPECT_EQ(c.at, r.value().claimed_at);
  EXPECT_EQ(events[0].bucket, c.at);
  EXPECT_TRUE(all_shards_free(s));
}

TEST(ClaimGrant, KeysAreThePrefixPlusTheTextUnchanged) {
  CoordinationState s;
  for (const char* path : {"src/lib.rs", "./src/lib.rs", "src\\lib.rs", "Src/lib.rs", "", " x "}) {
    ASSERT_TRUE(claim_file(s, "a", path).ok()) << path;
  }
  ASSERT_TRUE(claim_task(s, "a", "src/lib.rs").ok());  // task:x and file:x do not collide
  ASSERT_TRUE(claim_task(s, "b", "").ok());
  std::set<std::string> keys;
  s.claims->for_each([&](const SmallString& k, const Claim&) { keys.insert(k.str()); });
  EXPECT_EQ(keys, (std::set<std::string>{"file:src/lib.rs", "file:./src/lib.rs", "file:src\\lib.rs",
                                         "file:Src/lib.rs", "file:", "file: x ", "task:src/lib.rs",
                                         "task:"}));
}

TEST(ClaimGrant, BinaryAndNonAsciiTextIsKeptByteForByte) {
  CoordinationState s;
  const std::string agent("ag\0ent", 6);
  const std::string path("p\0\xc3\xa9", 4);
  ASSERT_TRUE(claim_file(s, agent, path).ok());
  EXPECT_EQ(holder_of(s, "file:" + path), agent);
  EXPECT_EQ(holder_of(s, "file:p"), "<none>");
  auto again = claim_file(s, "x", path);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), agent + " already holds claim on " + path);
}

// ---------------------------------------------------------------- refusals

TEST(ClaimConflict, LiveClaimRefusesEveryoneWithTheHolderNamed) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "src/lib.rs").ok());
  ASSERT_TRUE(claim_task(s, "agent-a", "phase-7").ok());
  ASSERT_TRUE(claim_file(s, "agent-a", "").ok());
  const Lines log_before = log_lines(s);

  auto own = claim_file(s, "agent-a", "src/lib.rs");
  ASSERT_FALSE(own.ok());
  EXPECT_EQ(own.error(), "agent-a already holds claim on src/lib.rs");
  auto other = claim_file(s, "agent-b", "src/lib.rs");
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error(), "agent-a already holds claim on src/lib.rs");
  auto task = claim_task(s, "agent-b", "phase-7");
  ASSERT_FALSE(task.ok());
  EXPECT_EQ(task.error(), "agent-a already holds claim on task phase-7");
  auto empty = claim_file(s, "agent-b", "");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(), "agent-a already holds claim on ");

  // Refusals change nothing anywhere.
  EXPECT_EQ(log_lines(s), log_before);
  EXPECT_FALSE(has_status(s, "agent-b"));
  EXPECT_EQ(holder_of(s, "file:src/lib.rs"), "agent-a");
  EXPECT_TRUE(all_shards_free(s));
}

// ---------------------------------------------------------------- expiry

TEST(ClaimLiveness, BoundaryValues) {
  const Claim c{"a", 1000, 1000};
  EXPECT_TRUE(claim_is_live(c, 1000, 300));
  EXPECT_TRUE(claim_is_live(c, 1299, 300));
  EXPECT_FALSE(claim_is_live(c, 1300, 300));
  EXPECT_FALSE(claim_is_live(c, 1000000, 300));
  EXPECT_TRUE(claim_is_live(c, 999, 300));  // clock set back below the claim
  EXPECT_TRUE(claim_is_live(c, 0, 300));
  // The later of the two timestamps counts, whichever field holds it.
  EXPECT_TRUE(claim_is_live(Claim{"a", 100, 1000}, 1299, 300));
  EXPECT_TRUE(claim_is_live(Claim{"a", 1000, 100}, 1299, 300));
  EXPECT_FALSE(claim_is_live(Claim{"a", 1000, 100}, 1300, 300));
  const UnixSeconds max = ~UnixSeconds{0};
  EXPECT_TRUE(claim_is_live(Claim{"a", max, max}, 5, 300));
  EXPECT_FALSE(claim_is_live(Claim{"a", 0, 0}, max, 300));
  EXPECT_TRUE(claim_is_live(Claim{"a", 0, 0}, max - 1, max));
}

// 299 seconds after its later timestamp a claim still blocks. The call reads
// the clock itself, so retry when a second boundary may have fallen between
// aging the claim and the call.
TEST(ClaimExpiry, At299SecondsStillRefused) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "x").ok());
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 5) << "clock kept ticking over";
    const UnixSeconds t0 = now_secs();
    age_claim(s, "file:x", 299);
    auto r = claim_file(s, "agent-b", "x");
    if (now_secs() != t0) {
      if (r.ok()) break;  // cannot tell 299 from 300 this time; nothing to judge
      continue;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "agent-a already holds claim on x");
    break;
  }
  // Only the later timestamp counts: an old first grant does not expire it.
  age_claim(s, "file:x", 5000, 200);
  EXPECT_FALSE(claim_file(s, "agent-b", "x").ok());
  age_claim(s, "file:x", 200, 5000);
  EXPECT_FALSE(claim_file(s, "agent-b", "x").ok());
}

TEST(ClaimExpiry, ClockSetBackKeepsClaimLive) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "x").ok());
  age_claim(s, "file:x", -100000);  // timestamps in the future
  auto r = claim_file(s, "agent-b", "x");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "agent-a already holds claim on x");
}

TEST(ClaimTakeover, AfterLeaseAnotherAgentTakesOver) {
  CoordinationState s;
  ASSERT_TRUE(claim_task(s, "agent-a", "phase-7").ok());
  age_claim(s, "task:phase-7", 300);
  const UnixSeconds before = now_secs();
  auto r = claim_task(s, "agent-b", "phase-7");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r.value().holder, "agent-b");
  {
    auto e = s.claims->entry("task:phase-7");
    EXPECT_EQ(e.get().holder, "agent-b");
    EXPECT_GE(e.get().claimed_at, before);
    EXPECT_GE(e.get().renewed_at, before);
  }
  EXPECT_EQ(TestAccess::len(*s.claims), 1u);
  EXPECT_EQ(status(s, "agent-b"), AgentStatus::Busy);
  EXPECT_EQ(status(s, "agent-a"), AgentStatus::Busy);  // the loser is not told
  EXPECT_EQ(log_lines(s), (Lines{"Claimed agent-a task:phase-7", "Claimed agent-b task:phase-7",
                                 "Released agent-a task:phase-7"}));
  const auto events = activity_events(s);
  const UnixSeconds at = r.value().claimed_at;
  EXPECT_EQ(r.value().renewed_at, at);
  EXPECT_EQ(std::get<event::Claimed>(events[1].event).at, at);
  EXPECT_EQ(std::get<event::Released>(events[2].event).at, at);
  EXPECT_EQ(events[2].bucket, at);
  // The new claim is live: the previous holder is refused now.
  auto back = claim_task(s, "agent-a", "phase-7");
  ASSERT_FALSE(back.ok());
  EXPECT_EQ(back.error(), "agent-b already holds claim on task phase-7");
  EXPECT_TRUE(all_shards_free(s));
}

TEST(ClaimTakeover, HolderRetakingItsExpiredClaimLogsBothRecords) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "f").ok());
  age_claim(s, "file:f", 301);
  ASSERT_TRUE(claim_file(s, "agent-a", "f").ok());
  EXPECT_EQ(log_lines(s),
            (Lines{"Claimed agent-a file:f", "Claimed agent-a file:f", "Released agent-a file:f"}));
}

// ---------------------------------------------------------------- renewal

TEST(ClaimRenew, HolderRenewsLiveOrExpiredClaim) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "src/lib.rs").ok());
  const Lines log_before = log_lines(s);
  for (long long ago : {10LL, 400LL}) {
    age_claim(s, "file:src/lib.rs", ago);
    const UnixSeconds before = now_secs();
    auto r = renew_claim(s, "agent-a", "file:src/lib.rs");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r.value().holder, "agent-a");
    EXPECT_GE(r.value().claimed_at, before);
    EXPECT_GE(r.value().renewed_at, r.value().claimed_at);
    auto e = s.claims->entry("file:src/lib.rs");
    EXPECT_EQ(e.get().claimed_at, r.value().claimed_at);
    EXPECT_EQ(e.get().renewed_at, r.value().renewed_at);
  }
  // Live again after renewing the expired claim.
  EXPECT_FALSE(claim_file(s, "agent-b", "src/lib.rs").ok());
  EXPECT_EQ(log_lines(s), log_before);  // renewals are not logged
}

TEST(ClaimRenew, RefusalsNameKeyOrHolderAndChangeNothing) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "src/lib.rs").ok());
  age_claim(s, "file:src/lib.rs", 1000);
  const Lines log_before = log_lines(s);

  auto missing = renew_claim(s, "agent-a", "src/lib.rs");  // a bare path is not a key
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "no claim on src/lib.rs to renew");
  auto other = renew_claim(s, "agent-b", "file:src/lib.rs");  // expired, still not b's
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error(), "agent-b cannot renew a claim held by agent-a");
  auto cased = renew_claim(s, "Agent-A", "file:src/lib.rs");
  ASSERT_FALSE(cased.ok());
  EXPECT_EQ(cased.error(), "Agent-A cannot renew a claim held by agent-a");

  EXPECT_EQ(log_lines(s), log_before);
  EXPECT_FALSE(has_status(s, "agent-b"));
  // The claim kept its old timestamps: b can still take it over.
  EXPECT_TRUE(claim_file(s, "agent-b", "src/lib.rs").ok());
}

TEST(ClaimRenew, StatusIsLeftAlone) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "one").ok());
  ASSERT_TRUE(claim_file(s, "agent-a", "two").ok());
  ASSERT_TRUE(release(s, "agent-a", "file:one").ok());
  ASSERT_EQ(status(s, "agent-a"), AgentStatus::Idle);
  ASSERT_TRUE(renew_claim(s, "agent-a", "file:two").ok());
  EXPECT_EQ(status(s, "agent-a"), AgentStatus::Idle);
}

// ---------------------------------------------------------------- release

TEST(ClaimRelease, HolderReleasesGoesIdleAndLogs) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "src/lib.rs").ok());
  ASSERT_TRUE(claim_task(s, "agent-a", "other").ok());
  age_claim(s, "file:src/lib.rs", 1000);  // expired claims can be released too
  ASSERT_TRUE(release(s, "agent-a", "file:src/lib.rs").ok());
  EXPECT_EQ(holder_of(s, "file:src/lib.rs"), "<none>");
  EXPECT_EQ(TestAccess::len(*s.claims), 1u);
  // Idle although it still holds the task claim.
  EXPECT_EQ(status(s, "agent-a"), AgentStatus::Idle);
  EXPECT_EQ(log_lines(s), (Lines{"Claimed agent-a file:src/lib.rs", "Claimed agent-a task:other",
                                 "Released agent-a file:src/lib.rs"}));

  auto twice = release(s, "agent-a", "file:src/lib.rs");
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error(), "no claim found for agent-a");
  // The key is free for anyone again.
  EXPECT_TRUE(claim_file(s, "agent-b", "src/lib.rs").ok());
}

TEST(ClaimRelease, RefusalsChangeNothing) {
  CoordinationState s;
  ASSERT_TRUE(claim_file(s, "agent-a", "src/lib.rs").ok());
  const Lines log_before = log_lines(s);
  auto other = release(s, "agent-b", "file:src/lib.rs");
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error(), "agent-b cannot release a claim held by agent-a");
  auto cased = release(s, "Agent-A", "file:src/lib.rs");
  ASSERT_FALSE(cased.ok());
  EXPECT_EQ(cased.error(), "Agent-A cannot release a claim held by agent-a");
  auto missing = release(s, "agent-b", "file:nothing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "no claim found for agent-b");

  EXPECT_EQ(log_lines(s), log_before);
  EXPECT_EQ(holder_of(s, "file:src/lib.rs"), "agent-a");
  EXPECT_EQ(status(s, "agent-a"), AgentStatus::Busy);
  EXPECT_FALSE(has_status(s, "agent-b"));
  EXPECT_FALSE(has_status(s, "Agent-A"));
}

// ---------------------------------------------------------------- lock scopes

// A helper thread runs one claim operation while the test holds the write
// lock of the caller's statuses shard (and, optionally, of the activity log
// shards the next seconds map to). The operation stops at the first lock we
// hold, so we can look at which of its other locks it still has.
class LockScope : public ::testing::Test {
 protected:
  void hold_status_shard(const std::string& agent) {
    status_shard_ = TestAccess::shard_index_of(*s_.statuses, agent);
    TestAccess::shard_lock(*s_.statuses, status_shard_).lock();
  }
  void release_status_shard() { TestAccess::shard_lock(*s_.statuses, status_shard_).unlock(); }
  bool status_waited_on() {
    return eventually(
        [&] { return has_parked_waiter(TestAccess::shard_lock(*s_.statuses, status_shard_)); });
  }

  void hold_log_shards() {
    // The appends file under the second they run in; cover a generous few.
    const UnixSeconds now = now_secs();
    for (UnixSeconds t = now; t < now + 10; ++t) {
      log_shards_.insert(TestAccess::shard_index_of(*s_.activity_log, t));
    }
    for (std::size_t i : log_shards_) TestAccess::shard_lock(*s_.activity_log, i).lock();
  }
  void release_log_shards() {
    for (std::size_t i : log_shards_) TestAccess::shard_lock(*s_.activity_log, i).unlock();
  }
  bool log_waited_on() {
    return eventually([&] {
      for (std::size_t i : log_shards_) {
        if (has_parked_waiter(TestAccess::shard_lock(*s_.activity_log, i))) return true;
      }
      return false;
    });
  }

  ShardLock& claims_lock(const std::string& key) {
    return TestAccess::shard_lock(*s_.claims, TestAccess::shard_index_of(*s_.claims, key));
  }
  bool claims_shard_write_locked(const std::string& key) {
    ShardLock& l = claims_lock(key);
    if (l.try_lock()) {
      l.unlock();
      return false;
    }
    return (TestAccess::raw_state(l) & ShardLock::kWriter) != 0;
  }

  CoordinationState s_;
  std::size_t status_shard_ = 0;
  std::set<std::size_t> log_shards_;
};

TEST_F(LockScope, TakeoverHoldsClaimsShardWhileWritingStatusAndLog) {
  ASSERT_TRUE(claim_file(s_, "agent-a", "x").ok());
  age_claim(s_, "file:x", 300);
  hold_status_shard("agent-b");
  hold_log_shards();
  std::atomic<bool> ok{false};
  Crowd taker(1, [&](int) { ok = claim_file(s_, "agent-b", "x").ok(); });

  EXPECT_TRUE(status_waited_on());
  EXPECT_TRUE(claims_shard_write_locked("file:x")) << "claims shard free during the status write";
  release_status_shard();

  EXPECT_TRUE(log_waited_on());
  EXPECT_TRUE(claims_shard_write_locked("file:x")) << "claims shard free during the log append";
  EXPECT_FALSE(test::is_locked(
      TestAccess::shard_lock(*s_.statuses, status_shard_)));  // one lock per map at a time
  release_log_shards();

  taker.join_or_abort();
  EXPECT_TRUE(ok.load());
  EXPECT_TRUE(all_shards_free(s_));
  EXPECT_EQ(log_lines(s_),
            (Lines{"Claimed agent-a file:x", "Claimed agent-b file:x", "Released agent-a file:x"}));
}

TEST_F(LockScope, GrantReleasesClaimsShardBeforeWritingStatus) {
  hold_status_shard("agent-b");
  std::atomic<bool> ok{false};
  Crowd claimer(1, [&](int) { ok = claim_file(s_, "agent-b", "free").ok(); });
  EXPECT_TRUE(status_waited_on());
  EXPECT_FALSE(claims_shard_write_locked("file:free"));
  release_status_shard();
  claimer.join_or_abort();
  EXPECT_TRUE(ok.load());
  EXPECT_TRUE(all_shards_free(s_));
}

TEST_F(LockScope, ReleaseRemovesBeforeWritingStatus) {
  ASSERT_TRUE(claim_file(s_, "agent-b", "x").ok());
  hold_status_shard("agent-b");
  std::atomic<bool> ok{false};
  Crowd releaser(1, [&](int) { ok = release(s_, "agent-b", "file:x").ok(); });
  EXPECT_TRUE(status_waited_on());
  EXPECT_FALSE(claims_shard_write_locked("file:x"));
  EXPECT_EQ(holder_of(s_, "file:x"), "<none>");  // already removed
  release_status_shard();
  releaser.join_or_abort();
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(status(s_, "agent-b"), AgentStatus::Idle);
}

// ---------------------------------------------------------------- threads

// Threads race for the same keys in the same order: each key has exactly one
// winner and every loser is told who holds it.
TEST(ClaimConcurrency, ExactlyOneWinnerPerKey) {
  CoordinationState s;
  constexpr int kThreads = 4;
  constexpr int kKeys = 1500;
  std::vector<std::vector<std::string>> results(kThreads, std::vector<std::string>(kKeys));
  Crowd crowd(kThreads, [&](int id) {
    const std::string me = test::numbered("agent-", id);
    for (int k = 0; k < kKeys; ++k) {
      auto r = claim_file(s, me, test::numbered("f", k));
      results[static_cast<std::size_t>(id)][static_cast<std::size_t>(k)] =
          r.ok() ? "won" : r.error();
    }
  });
  crowd.join_or_abort(60s);

  std::map<std::string, int> claimed_in_log;
  for (const auto& le : activity_events(s)) {
    claimed_in_log[std::get<event::Claimed>(le.event).resource_key]++;
  }
  for (int k = 0; k < kKeys; ++k) {
    const std::string path = test::numbered("f", k);
    const std::string holder = holder_of(s, "file:" + path);
    int winners = 0;
    for (int id = 0; id < kThreads; ++id) {
      const std::string& r = results[static_cast<std::size_t>(id)][static_cast<std::size_t>(k)];
      if (r == "won") {
        ++winners;
        EXPECT_EQ(holder, test::numbered("agent-", id));
      } else {
        EXPECT_EQ(r, holder + " already holds claim on " + path);
      }
    }
    ASSERT_EQ(winners, 1) << path;
    EXPECT_EQ(claimed_in_log["file:" + path], 1) << path;
  }
  EXPECT_TRUE(all_shards_free(s));
}

// Many agents find one expired claim at once: one takes it over, the rest
// meet the new live claim.
TEST(ClaimConcurrency, ConcurrentTakeoverHasOneWinner) {
  CoordinationState s;
  constexpr int kThreads = 6;
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = test::numbered("r", round);
    ASSERT_TRUE(claim_file(s, "old", path).ok());
    age_claim(s, "file:" + path, 1000);
  }
  std::atomic<int> wins{0};
  Crowd crowd(kThreads, [&](int id) {
    for (int round = 0; round < kRounds; ++round) {
      if (claim_file(s, test::numbered("t", id), test::numbered("r", round)).ok()) {
        wins.fetch_add(1);
      }
    }
  });
  crowd.join_or_abort(60s);
  EXPECT_EQ(wins.load(), kRounds);
  int released = 0;
  for (const auto& le : activity_events(s)) {
    if (const auto* r = std::get_if<event::Released>(&le.event)) {
      EXPECT_EQ(r->agent_id, "old");
      ++released;
    }
  }
  EXPECT_EQ(released, kRounds);
}

// Claim, renew and release by several agents on one key: at no moment do two
// agents believe they hold it, and each operation fails only as it should.
TEST(ClaimConcurrency, ClaimRenewReleaseNeverMakeTwoHolders) {
  CoordinationState s;
  constexpr int kThreads = 4;
  constexpr int kIterations = 4000;
  std::atomic<int> owner{-1};
  std::atomic<int> violations{0};
  std::atomic<int> grants{0};
  Crowd crowd(kThreads, [&](int id) {
    const std::string me = test::numbered("agent-", id);
    for (int i = 0; i < kIterations; ++i) {
      auto r = claim_file(s, me, "shared");
      if (!r.ok()) {
        if (r.error().find(" already holds claim on shared") == std::string::npos) violations++;
        // Not ours: renewing or releasing it must fail.
        auto rn = renew_claim(s, me, "file:shared");
        auto rl = release(s, me, "file:shared");
        if (rn.ok() || rl.ok()) violations++;
        continue;
      }
      grants++;
      if (owner.exchange(id) != -1) violations++;
      for (int k = 0; k < 3; ++k) {
        if (!renew_claim(s, me, "file:shared").ok()) violations++;
      }
      if (owner.exchange(-1) != id) violations++;
      if (!release(s, me, "file:shared").ok()) violations++;
    }
  });
  crowd.join_or_abort(60s);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GT(grants.load(), 0);
  EXPECT_EQ(holder_of(s, "file:shared"), "<none>");
  EXPECT_TRUE(all_shards_free(s));
}

}  // namespace
}  // namespace halvex
