#include "state/activity_log.hpp"

namespace halvex {

void append_activity(ActivityLog& log, const EventView& event) {
  auto e = log.entry(event.at);
  e.or_insert(Journal{}).append(event);
}

void append_message_activity(ActivityLog& log, StoredMessage message) {
  auto e = log.entry(message.timestamp());
  e.or_insert(Journal{}).append_message(std::move(message));
}

}  // namespace halvex
