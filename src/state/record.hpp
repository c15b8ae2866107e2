// The record that one CoordinationState object owns: four concurrent maps and
// the lease constants. Operations use it through shared access only; all
// mutation goes through the maps' shard locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "state/clock.hpp"
#include "state/journal.hpp"
#include "state/containers/sharded_map.hpp"
#include "state/types.hpp"

namespace halvex {

using ActivityBucket = Journal;
using ClaimsMap = ShardedMap<SmallString, Claim>;
using StatusMap = ShardedMap<SmallString, AgentStatus>;
using InboxMap = ShardedMap<SmallString, Inbox>;
using ActivityLog = ShardedMap<UnixSeconds, ActivityBucket>;

struct CoordinationState {
  CoordinationState();
  ~CoordinationState();
  CoordinationState(const CoordinationState&) = delete;
  CoordinationState& operator=(const CoordinationState&) = delete;
  CoordinationState(CoordinationState&&) noexcept = default;
  CoordinationState& operator=(CoordinationState&&) noexcept = default;

  std::shared_ptr<ClaimsMap> claims;
  std::shared_ptr<StatusMap> statuses;
  std::shared_ptr<InboxMap> inboxes;
  std::shared_ptr<ActivityLog> activity_log;
  std::uint64_t lease_secs = 300;
  std::uint64_t lease_grace_secs = 0;
};

}  // namespace halvex
