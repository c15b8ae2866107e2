// The copies of large drains that threads keep past their call: freed at
// the keeping thread's next call, or with the object they came from, also
// after the thread has ended.
#include <gtest/gtest.h>

#include <thread>

#include "messaging/kept_drains.hpp"
#include "test_support.hpp"

namespace halvex {
namespace {

Inbox copies_of(const StoredMessage& m, std::size_t n) { return Inbox(n, m); }

TEST(KeptDrains, FreedAtTheKeepingThreadsNextCallOnly) {
  const StoredMessage m("a", nullptr, "text", 1);
  const int owner = 0;
  kept_drains::keep(&owner, copies_of(m, 3000));
  EXPECT_EQ(TestAccess::holders(m), 3001u);
  std::thread([] { kept_drains::release_mine(); }).join();  // another thread's call
  EXPECT_EQ(TestAccess::holders(m), 3001u);
  kept_drains::release_mine();
  EXPECT_EQ(TestAccess::holders(m), 1u);
  kept_drains::release_mine();  // nothing left: a no-op
  kept_drains::release_owner(&owner);
  EXPECT_EQ(TestAccess::holders(m), 1u);
}

TEST(KeptDrains, FreeingTheOwnerFreesWhatEveryThreadKeptForIt) {
  const StoredMessage for_a("a", nullptr, "for a", 1);
  const StoredMessage for_b("b", nullptr, "for b", 1);
  const int owner_a = 0, owner_b = 0;
  // Threads that keep batches and end without another call.
  test::Crowd crowd(4, [&](int i) {
    kept_drains::keep(i % 2 ? &owner_a : &owner_b, copies_of(i % 2 ? for_a : for_b, 2000));
  });
  crowd.join();
  EXPECT_EQ(TestAccess::holders(for_a), 4001u);
  EXPECT_EQ(TestAccess::holders(for_b), 4001u);
  kept_drains::release_owner(&owner_a);
  EXPECT_EQ(TestAccess::holders(for_a), 1u);
  EXPECT_EQ(TestAccess::holders(for_b), 4001u);
  kept_drains::release_mine();  // this thread kept none of them
  EXPECT_EQ(TestAccess::holders(for_b), 4001u);
  kept_drains::release_owner(&owner_b);
  EXPECT_EQ(TestAccess::holders(for_b), 1u);
}

}  // namespace
}  // namespace halvex
