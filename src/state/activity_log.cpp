#include "state/activity_log.hpp"

#include <utility>

namespace halvex {

void append_activity(ActivityLog& log, ActivityEvent event) {
  const UnixSeconds bucket = now_secs();
  auto e = log.entry(bucket);
  e.or_insert(ActivityBucket{}).push_back(std::move(event));
}

}  // namespace halvex
