#include <gtest/gtest.h>

#include "messaging/messaging.hpp"
#include "state/record.hpp"

TEST(Smoke, NewRecordIsEmptyWithLeaseConstants) {
  halvex::CoordinationState s;
  EXPECT_EQ(s.lease_secs, 300u);
  EXPECT_EQ(s.lease_grace_secs, 0u);
  EXPECT_EQ(s.claims->len(), 0u);
  EXPECT_EQ(s.statuses->len(), 0u);
  EXPECT_EQ(s.inboxes->len(), 0u);
  EXPECT_EQ(s.activity_log->len(), 0u);
}
