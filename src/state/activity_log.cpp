#include "state/activity_log.hpp"

namespace halvex {

void append_activity(ActivityLog& log, const EventView& event) {
  const UnixSeconds bucket = now_secs();
  auto e = log.entry(bucket);
  e.or_insert(Journal{}).append(event);
}

}  // namespace halvex
