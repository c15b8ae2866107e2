#pragma once

#include "state/journal.hpp"
#include "state/record.hpp"

namespace halvex {

// Files one record in the bucket of the current second. Reads the clock
// first (throws Fault before 1970, appending nothing), then holds the
// bucket's shard write lock only for the copy into the bucket.
void append_activity(ActivityLog& log, const EventView& event);

}  // namespace halvex
