// The inbox queue across drains and put-backs: order kept for every mix of
// drained and newly arrived messages, over many cycles, with any content.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/messaging.hpp"

namespace halvex {
namespace {

std::vector<std::string> contents(const Inbox& q) {
  std::vector<std::string> out;
  for (const StoredMessage& m : q) out.push_back(std::string(m.content()));
  return out;
}

std::vector<std::string> range(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back(std::to_string(i));
  return out;
}

void send_range(const CoordinationState& s, int from, int to) {
  for (int i = from; i < to; ++i) send_message(s, "a", "b", std::to_string(i));
}

TEST(InboxQueue, GrowsFromNothingKeepingOrder) {
  CoordinationState s;
  send_range(s, 0, 1000);
  EXPECT_EQ(contents(inbox(s, "b")), range(0, 1000));
}

TEST(InboxQueue, PutBackGoesInFrontOfLaterArrivals) {
  for (int front_n : {0, 1, 3, 4, 5, 100}) {
    for (int back_n : {0, 1, 3, 4, 7, 64}) {
      CoordinationState s;
      send_range(s, 0, front_n);
      Inbox drained = drain_inbox(s, "b");
      send_range(s, front_n, front_n + back_n);
      restore_inbox(s, "b", std::move(drained));
      send_message(s, "a", "b", "-7");  // still a working queue afterwards
      std::vector<std::string> want = range(0, front_n + back_n);
      want.push_back("-7");
      ASSERT_EQ(contents(inbox(s, "b")), want) << front_n << " + " << back_n;
    }
  }
}

// Drained, refilled and put back again and again, as a failing caller would.
TEST(InboxQueue, RepeatedDrainAndPutBackCycles) {
  CoordinationState s;
  int next = 0;
  for (int round = 0; round < 200; ++round) {
    send_range(s, next, next + round % 7);
    next += round % 7;
    Inbox drained = drain_inbox(s, "b");
    send_range(s, next, next + round % 5);
    next += round % 5;
    restore_inbox(s, "b", std::move(drained));
    ASSERT_EQ(contents(inbox(s, "b")), range(0, next)) << "round " << round;
  }
}

TEST(InboxQueue, HoldsContentWhole) {
  CoordinationState s;
  const std::string big(10000, 'z');
  const std::string nul("a\0b", 3);
  send_message(s, "a", "b", nul);
  send_message(s, "a", "b", big);
  send_message(s, "a", "b", "");
  EXPECT_EQ(contents(drain_inbox(s, "b")), (std::vector<std::string>{nul, big, ""}));
}

}  // namespace
}  // namespace halvex
