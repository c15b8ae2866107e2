#include "state/activity_log.hpp"

namespace halvex {

void append_activity(ActivityLog& log, const EventView& event) {
  auto e = log.entry(event.at);
  e.or_insert(Journal{}).append(event);
}

}  // namespace halvex
