#include "state/record.hpp"

namespace halvex {

// Field order matters for the hash keys: the four maps take consecutive k0
// values from this thread's pair in this order.
CoordinationState::CoordinationState()
    : claims(std::make_shared<ClaimsMap>()),
      statuses(std::make_shared<StatusMap>()),
      inboxes(std::make_shared<InboxMap>()),
      activity_log(std::make_shared<ActivityLog>()) {}

// Members would go in reverse order; release the maps in field order instead.
CoordinationState::~CoordinationState() {
  claims.reset();
  statuses.reset();
  inboxes.reset();
  activity_log.reset();
}

}  // namespace halvex
