#pragma once

#include "state/journal.hpp"
#include "state/record.hpp"

namespace halvex {

// Files one record in the bucket of its own `at` second: the caller's one
// clock reading of the call serves both. Holds the bucket's shard write lock
// only for the copy into the bucket.
void append_activity(ActivityLog& log, const EventView& event);

}  // namespace halvex
