#pragma once

#include "state/journal.hpp"
#include "state/record.hpp"

namespace halvex {

// Files one record in the bucket of its own `at` second: the caller's one
// clock reading of the call serves both. Holds the bucket's shard write lock
// only for the copy into the bucket.
void append_activity(ActivityLog& log, const EventView& event);

// Files the MessageSent (a message with a recipient) or BroadcastSent record
// of `message`, at its timestamp, holding a share of its block.
void append_message_activity(ActivityLog& log, StoredMessage message);

}  // namespace halvex
