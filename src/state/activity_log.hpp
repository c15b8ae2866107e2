#pragma once

#include "state/record.hpp"
#include "state/types.hpp"

namespace halvex {

// Files one record in the bucket of the current second. Reads the clock
// first (throws Fault before 1970, appending nothing), then holds the
// bucket's shard write lock only for the push.
void append_activity(ActivityLog& log, ActivityEvent event);

}  // namespace halvex
