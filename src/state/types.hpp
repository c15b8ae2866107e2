// The plain records that the operations exchange and the maps hold. Every
// string is owned UTF-8 and is compared byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "state/clock.hpp"
#include "state/packed.hpp"
#include "state/containers/small_string.hpp"

namespace halvex {

enum class AgentStatus : std::uint8_t { Idle = 0, Busy = 1, Completed = 2, Error = 3 };

// What a claim is on: a file path or a task id. The claimed name is the text
// of the resource key after its 5-byte prefix, so a stored claim carries its
// target in its key and keeps it through renewals without a second copy.
enum class ClaimKind : std::uint8_t { File = 0, Task = 1 };

// Built whole: holder, then two clock readings.
struct Claim {
  SmallString holder;
  UnixSeconds claimed_at;
  UnixSeconds renewed_at;
};

// A message as an operation hands it back to its caller. Inboxes keep their
// copies packed (StoredMessage).
struct Message {
  std::string from_agent;
  std::optional<std::string> to_agent;  // absent for a broadcast
  std::string content;
  UnixSeconds timestamp;
};

// One agent's queue, oldest first. Messages are appended at the back and
// handed out whole by moving the storage out, never taken from the front one
// by one, so a plain vector is the queue; an empty one owns no storage.
using Inbox = std::vector<StoredMessage>;

// The activity log's records in decoded form; the log itself keeps them
// packed (Journal).
namespace event {
struct Claimed {
  std::string agent_id;
  std::string resource_key;
  UnixSeconds at;
};
struct Released {
  std::string agent_id;
  std::string resource_key;
  UnixSeconds at;
};
struct MessageSent {
  std::string from_agent;
  std::string to_agent;
  std::string content;
  UnixSeconds at;
};
struct BroadcastSent {
  std::string from_agent;
  std::string content;
  UnixSeconds at;
};
}  // namespace event

using ActivityEvent =
    std::variant<event::Claimed, event::Released, event::MessageSent, event::BroadcastSent>;

}  // namespace halvex
