// Messaging and status: delivery, broadcasts and who receives them, reading,
// draining and restoring inboxes, and all of it under concurrent senders.
#include "messaging/messaging.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "claims/claims.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

using test::activity_events;
using test::all_shards_free;
using test::Crowd;
using namespace std::chrono_literals;

bool known(const CoordinationState& s, const std::string& agent) {
  return static_cast<bool>(s.statuses->get(agent));
}

std::vector<std::string> contents(const std::vector<StoredMessage>& ms) {
  std::vector<std::string> out;
  for (const auto& m : ms) out.push_back(std::string(m.content()));
  return out;
}

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------- send

TEST(Send, DeliversToRecipientAndMakesOnlyItKnown) {
  CoordinationState s;
  const UnixSeconds before = now_secs();
  const Message m = send_message(s, "a", "b", "hi");
  EXPECT_EQ(m.from_agent, "a");
  EXPECT_EQ(m.to_agent, std::optional<std::string>("b"));
  EXPECT_EQ(m.content, "hi");
  EXPECT_GE(m.timestamp, before);
  EXPECT_LE(m.timestamp, now_secs());

  const auto box = inbox(s, "b");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(box[0].from_agent(), "a");
  EXPECT_EQ(box[0].to_agent(), std::optional<std::string>("b"));
  EXPECT_EQ(box[0].timestamp(), m.timestamp);
  EXPECT_EQ(status(s, "b"), AgentStatus::Idle);
  EXPECT_TRUE(known(s, "b"));
  EXPECT_FALSE(known(s, "a"));  // sending does not make the sender known
  EXPECT_TRUE(inbox(s, "a").empty());

  const auto events = activity_events(s);
  ASSERT_EQ(events.size(), 1u);
  const auto& e = std::get<event::MessageSent>(events[0].event);
  EXPECT_EQ(e.from_agent, "a");
  EXPECT_EQ(e.to_agent, "b");
  EXPECT_EQ(e.content, "hi");
  EXPECT_EQ(e.at, m.timestamp);  // the call's one reading
  EXPECT_EQ(events[0].bucket, m.timestamp);
  EXPECT_TRUE(all_shards_free(s));
}

TEST(Send, ToSelfAndToABusyAgent) {
  CoordinationState s;
  send_message(s, "a", "a", "note to self");
  EXPECT_EQ(contents(inbox(s, "a")), Strings{"note to self"});
  EXPECT_TRUE(known(s, "a"));

  ASSERT_TRUE(claim_resource(s, ClaimKind::File, "busy", "f").ok());
  send_message(s, "a", "busy", "x");
  EXPECT_EQ(status(s, "busy"), AgentStatus::Busy);  // not reset to idle
}

TEST(Send, AnyBytesArePassedThroughUnchanged) {
  CoordinationState s;
  const std::string nul_agent("b\0c", 3);
  const std::string nul_content("x\0y\0", 4);
  const std::string utf8 = "\xe2\x9c\x93 \xf0\x9f\x98\x80 caf\xc3\xa9";
  send_message(s, "", "", "");
  send_message(s, utf8, nul_agent, nul_content);
  send_message(s, "a", "b", utf8);

  const auto empty_box = inbox(s, "");
  ASSERT_EQ(empty_box.size(), 1u);
  EXPECT_EQ(empty_box[0].content(), "");
  EXPECT_TRUE(known(s, ""));  // the empty id is an agent like any other

  const auto nul_box = inbox(s, nul_agent);
  ASSERT_EQ(nul_box.size(), 1u);
  EXPECT_EQ(nul_box[0].from_agent(), utf8);
  EXPECT_EQ(nul_box[0].content(), nul_content);
  // "b" and "b\0c" are different agents.
  EXPECT_EQ(contents(inbox(s, "b")), Strings{utf8});
}

// ---------------------------------------------------------------- broadcast

TEST(Broadcast, OnFreshStateReachesOnlyTheSender) {
  CoordinationState s;
  const Message m = broadcast(s, "a", "x");
  EXPECT_EQ(m.from_agent, "a");
  EXPECT_FALSE(m.to_agent.has_value());
  EXPECT_EQ(m.content, "x");
  const auto box = inbox(s, "a");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_FALSE(box[0].to_agent().has_value());
  EXPECT_EQ(box[0].timestamp(), m.timestamp);
  EXPECT_EQ(status(s, "a"), AgentStatus::Idle);
  EXPECT_EQ(TestAccess::len(*s.statuses), 1u);
}

TEST(Broadcast, ReachesEveryKnownAgentOnceWithOneTimestamp) {
  CoordinationState s;
  send_message(s, "a", "b", "1");
  send_message(s, "a", "c", "2");
  ASSERT_TRUE(claim_resource(s, ClaimKind::Task, "d", "t").ok());  // known through a claim
  // Agents that only read, drained, sent or asked for a status stay unknown.
  inbox(s, "reader");
  drain_inbox(s, "drainer");
  send_message(s, "sender-only", "b", "3");
  EXPECT_EQ(status(s, "asker"), AgentStatus::Idle);
  drain_inbox(s, "b");
  drain_inbox(s, "c");

  const Message m = broadcast(s, "a", "all");
  for (const char* who : {"a", "b", "c", "d"}) {
    const auto box = inbox(s, who);
    ASSERT_EQ(box.size(), 1u) << who;
    EXPECT_EQ(box[0].content(), "all");
    EXPECT_EQ(box[0].from_agent(), "a");
    EXPECT_EQ(box[0].timestamp(), m.timestamp) << who;
  }
  for (const char* who : {"reader", "drainer", "sender-only", "asker"}) {
    EXPECT_TRUE(inbox(s, who).empty()) << who;
    EXPECT_FALSE(known(s, who)) << who;
  }
  EXPECT_EQ(status(s, "d"), AgentStatus::Busy);  // registering does not overwrite
  EXPECT_EQ(status(s, "a"), AgentStatus::Idle);

  int broadcasts = 0;
  for (const auto& le : activity_events(s)) {
    if (const auto* b = std::get_if<event::BroadcastSent>(&le.event)) {
      ++broadcasts;
      EXPECT_EQ(b->from_agent, "a");
      EXPECT_EQ(b->content, "all");
    }
  }
  EXPECT_EQ(broadcasts, 1);  // one record however many recipients
  EXPECT_TRUE(all_shards_free(s));
}

TEST(Broadcast, CopiesShareOneBlockThatOutlivesEveryOtherHolder) {
  std::string content(200, 'x');  // well past any inline size
  Inbox kept;
  {
    CoordinationState s;
    for (const char* a : {"a", "b", "c", "d"}) send_message(s, "x", a, "hello");
    broadcast(s, "a", content);
    const Inbox listed = inbox(s, "b");
    ASSERT_EQ(listed.size(), 2u);
    const Inbox in_c = inbox(s, "c");
    EXPECT_TRUE(TestAccess::shares_block(listed[1], in_c[1]));
    EXPECT_FALSE(TestAccess::shares_block(listed[0], in_c[0]));  // direct messages are their own
    // Drained copies dropped, then the state freed, while other copies live.
    drain_inbox(s, "a");
    drain_inbox(s, "b");
    kept = drain_inbox(s, "c");
    drain_inbox(s, "d");
    // The records hold their share: every other holder of the direct
    // messages is gone now, and of the broadcast only `kept` is left.
    const auto events = activity_events(s);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(std::get<event::MessageSent>(events[3].event).to_agent, "d");
    const auto& b = std::get<event::BroadcastSent>(events[4].event);
    EXPECT_EQ(b.content, content);
    EXPECT_EQ(b.at, kept[1].timestamp());
  }
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].content(), content);
  EXPECT_EQ(kept[1].from_agent(), "a");
  EXPECT_FALSE(kept[1].to_agent().has_value());
  Inbox copy = kept;
  kept.clear();
  EXPECT_EQ(copy[1].content(), content);
}

TEST(Broadcast, BusySenderStaysBusy) {
  CoordinationState s;
  ASSERT_TRUE(claim_resource(s, ClaimKind::File, "a", "f").ok());
  broadcast(s, "a", "x");
  EXPECT_EQ(status(s, "a"), AgentStatus::Busy);
  EXPECT_EQ(inbox(s, "a").size(), 1u);
}

// ---------------------------------------------------------------- inboxes

TEST(Inbox, ReadCopiesDrainEmpties) {
  CoordinationState s;
  EXPECT_TRUE(inbox(s, "b").empty());
  EXPECT_TRUE(drain_inbox(s, "never-seen").empty());
  EXPECT_EQ(TestAccess::len(*s.inboxes), 0u);  // reading or draining a missing inbox adds none
  EXPECT_EQ(TestAccess::len(*s.statuses), 0u);

  send_message(s, "a", "b", "first");
  send_message(s, "c", "b", "second");
  EXPECT_EQ(contents(inbox(s, "b")), (Strings{"first", "second"}));
  EXPECT_EQ(contents(inbox(s, "b")), (Strings{"first", "second"}));

  const Inbox drained = drain_inbox(s, "b");
  EXPECT_EQ(contents(drained), (Strings{"first", "second"}));
  EXPECT_EQ(drained[0].from_agent(), "a");
  EXPECT_EQ(drained[1].from_agent(), "c");
  EXPECT_TRUE(inbox(s, "b").empty());
  EXPECT_TRUE(drain_inbox(s, "b").empty());

  send_message(s, "a", "b", "later");
  EXPECT_EQ(contents(inbox(s, "b")), Strings{"later"});
}

TEST(Inbox, ManyThousandsKeptWholeAndInOrder) {
  CoordinationState s;
  constexpr std::size_t kCount = 20000;
  const std::string big(4096, 'm');
  // Every thousandth message is large; the rest carry their number.
  auto content = [&](std::size_t i) {
    return i % 1000 == 0 ? big + std::to_string(i) : std::to_string(i);
  };
  for (std::size_t i = 0; i < kCount; ++i) send_message(s, "a", "b", content(i));
  const auto copy = inbox(s, "b");
  ASSERT_EQ(copy.size(), kCount);
  const Inbox all = drain_inbox(s, "b");
  ASSERT_EQ(all.size(), kCount);
  for (std::size_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(copy[i].content(), content(i));
    ASSERT_EQ(all[i].content(), content(i));
    if (i > 0) { ASSERT_GE(all[i].timestamp(), all[i - 1].timestamp()); }
  }
}

TEST(Inbox, RestorePutsDrainedMessagesBackInFront) {
  CoordinationState s;
  for (const char* c : {"1", "2", "3"}) send_message(s, "a", "b", c);
  Inbox drained = drain_inbox(s, "b");
  send_message(s, "a", "b", "4");
  send_message(s, "a", "b", "5");
  restore_inbox(s, "b", std::move(drained));
  EXPECT_EQ(contents(inbox(s, "b")), (Strings{"1", "2", "3", "4", "5"}));

  // Into an inbox that is empty, and an empty restore.
  Inbox all = drain_inbox(s, "b");
  restore_inbox(s, "b", std::move(all));
  restore_inbox(s, "b", Inbox{});
  EXPECT_EQ(contents(inbox(s, "b")), (Strings{"1", "2", "3", "4", "5"}));
  // Restoring to an agent without an inbox creates it but makes nobody known.
  Inbox one;
  const std::string_view to = "fresh";
  one.push_back(StoredMessage("x", &to, "hello", 1));
  restore_inbox(s, "fresh", std::move(one));
  EXPECT_EQ(contents(inbox(s, "fresh")), Strings{"hello"});
  EXPECT_FALSE(known(s, "fresh"));
}

// ---------------------------------------------------------------- status

TEST(Status, UnknownAgentsReadIdleAndStayUnknown) {
  CoordinationState s;
  EXPECT_EQ(status(s, "ghost"), AgentStatus::Idle);
  EXPECT_FALSE(known(s, "ghost"));
  broadcast(s, "a", "x");
  EXPECT_TRUE(inbox(s, "ghost").empty());
  EXPECT_FALSE(test::is_locked(
      TestAccess::shard_lock(*s.statuses, TestAccess::shard_index_of(*s.statuses, "ghost"))));
}

TEST(Status, WordsForEveryValue) {
  EXPECT_EQ(status_word(AgentStatus::Idle), "idle");
  EXPECT_EQ(status_word(AgentStatus::Busy), "busy");
  EXPECT_EQ(status_word(AgentStatus::Completed), "completed");
  EXPECT_EQ(status_word(AgentStatus::Error), "error");
  CoordinationState s;
  s.statuses->insert("done", AgentStatus::Completed);
  s.statuses->insert("broken", AgentStatus::Error);
  EXPECT_EQ(status_word(status(s, "done")), "completed");
  EXPECT_EQ(status_word(status(s, "broken")), "error");
  send_message(s, "x", "broken", "m");  // messages never move an existing status
  EXPECT_EQ(status(s, "broken"), AgentStatus::Error);
}

// ---------------------------------------------------------------- threads

// Content "<sender>:<n>" with n counting up per sender.
std::string tagged(int sender, int n) {
  std::string s = std::to_string(sender);
  s += ':';
  s += std::to_string(n);
  return s;
}

struct Numbered {
  int sender;
  int n;
};
Numbered parse(const std::string& content) {
  const auto colon = content.find(':');
  return {std::stoi(content.substr(0, colon)), std::stoi(content.substr(colon + 1))};
}

// Each sender's messages must appear exactly once overall and, within the
// sequence given, in the order they were sent.
void check_stream(const std::vector<std::string>& stream, std::vector<std::set<int>>& seen,
                  int senders, const char* what) {
  std::vector<int> last(static_cast<std::size_t>(senders), -1);
  for (const auto& c : stream) {
    const Numbered m = parse(c);
    const auto i = static_cast<std::size_t>(m.sender);
    ASSERT_GT(m.n, last[i]) << what << ": sender " << m.sender << " out of order";
    last[i] = m.n;
    ASSERT_TRUE(seen[i].insert(m.n).second) << what << ": duplicate " << c;
  }
}

TEST(MessagingConcurrency, SendersAndDrainersLoseAndDuplicateNothing) {
  CoordinationState s;
  constexpr int kSenders = 4;
  constexpr int kDrainers = 2;
  constexpr int kEach = 20000;
  std::atomic<int> senders_done{0};
  std::vector<std::vector<std::string>> drained(kDrainers);

  Crowd crowd(kSenders + kDrainers, [&](int id) {
    if (id < kSenders) {
      for (int n = 0; n < kEach; ++n) {
        send_message(s, test::numbered("s", id), "sink", tagged(id, n));
      }
      senders_done.fetch_add(1);
      return;
    }
    auto& mine = drained[static_cast<std::size_t>(id - kSenders)];
    for (;;) {
      const bool last_round = senders_done.load() == kSenders;
      const Inbox batch = drain_inbox(s, "sink");
      for (std::size_t i = 0; i < batch.size(); ++i)
        mine.push_back(std::string(batch[i].content()));
      if (last_round) break;
      std::this_thread::yield();
    }
  });
  crowd.join_or_abort(120s);

  std::vector<std::set<int>> seen(kSenders);
  // Each drainer's batches come one after another, so per-sender order must
  // hold along each drainer's whole stream.
  for (const auto& stream : drained) check_stream(stream, seen, kSenders, "drainer");
  for (const auto& from_one : seen) EXPECT_EQ(from_one.size(), static_cast<std::size_t>(kEach));
  EXPECT_TRUE(inbox(s, "sink").empty());
  EXPECT_TRUE(all_shards_free(s));
}

// A consumer that sometimes keeps what it drained and sometimes hands it
// back, while senders keep sending: the restored block always goes back
// ahead of newer messages, so the consumed stream followed by the final
// contents holds every message once, in per-sender order.
TEST(MessagingConcurrency, RestoreRacingWithSendersKeepsOrder) {
  CoordinationState s;
  constexpr int kSenders = 3;
  constexpr int kEach = 15000;
  std::atomic<int> senders_done{0};
  std::vector<std::string> consumed;

  Crowd crowd(kSenders + 1, [&](int id) {
    if (id < kSenders) {
      for (int n = 0; n < kEach; ++n) { send_message(s, "s", "box", tagged(id, n)); }
      senders_done.fetch_add(1);
      return;
    }
    for (unsigned round = 0; senders_done.load() < kSenders; ++round) {
      Inbox batch = drain_inbox(s, "box");
      if (round % 3 == 0) {
        for (std::size_t i = 0; i < batch.size(); ++i)
          consumed.push_back(std::string(batch[i].content()));
      } else {
        // Give the senders time to add newer messages before handing back.
        std::this_thread::sleep_for(50us);
        restore_inbox(s, "box", std::move(batch));
      }
    }
  });
  crowd.join_or_abort(120s);

  std::vector<std::string> stream = consumed;
  for (const auto& c : contents(drain_inbox(s, "box"))) stream.push_back(c);
  std::vector<std::set<int>> seen(kSenders);
  check_stream(stream, seen, kSenders, "consumed then left over");
  for (const auto& from_one : seen) EXPECT_EQ(from_one.size(), static_cast<std::size_t>(kEach));
}

// Broadcasts racing with each other and with new agents appearing: each
// broadcast reaches each agent at most once, and every agent known before
// the broadcasts began receives all of them.
TEST(MessagingConcurrency, ConcurrentBroadcastsReachEachAgentOnce) {
  CoordinationState s;
  constexpr int kBroadcasters = 3;
  constexpr int kEach = 300;
  for (int i = 0; i < 10; ++i) send_message(s, "init", test::numbered("early-", i), "hello");
  for (int i = 0; i < 10; ++i) drain_inbox(s, test::numbered("early-", i));

  Crowd crowd(kBroadcasters + 1, [&](int id) {
    if (id == kBroadcasters) {
      for (int i = 0; i < 200; ++i) send_message(s, "x", test::numbered("late-", i), "hi");
      return;
    }
    for (int n = 0; n < kEach; ++n) { broadcast(s, test::numbered("b", id), tagged(id, n)); }
  });
  crowd.join_or_abort(120s);

  for (int i = 0; i < 10; ++i) {
    const auto box = inbox(s, test::numbered("early-", i));
    std::vector<std::set<int>> seen(kBroadcasters);
    std::vector<std::string> stream = contents(box);
    check_stream(stream, seen, kBroadcasters, "early agent");
    for (const auto& from_one : seen) EXPECT_EQ(from_one.size(), static_cast<std::size_t>(kEach));
  }
  for (int i = 0; i < 200; ++i) {
    const auto box = inbox(s, test::numbered("late-", i));
    std::vector<std::string> stream;
    for (const auto& m : box) {
      if (m.content() != "hi") stream.push_back(std::string(m.content()));
    }
    std::vector<std::set<int>> seen(kBroadcasters);
    check_stream(stream, seen, kBroadcasters, "late agent");
  }
  EXPECT_TRUE(all_shards_free(s));
}

}  // namespace
}  // namespace halvex
