// The plain records that the maps hold. Every string is owned UTF-8 and is
// compared byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "state/clock.hpp"
#include "state/fifo.hpp"

namespace halvex {

enum class AgentStatus : std::uint8_t { Idle = 0, Busy = 1, Completed = 2, Error = 3 };

enum class ClaimKind : std::uint8_t { File = 0, Task = 1 };

// What a claim is on. The name is the resource key minus its 5-byte prefix
// ("file:" / "task:"), so it is not stored a second time.
struct ClaimTarget {
  ClaimKind kind;
};

struct Claim {
  std::string holder;
  ClaimTarget target;
  UnixSeconds claimed_at;
  UnixSeconds renewed_at;
};

struct Message {
  std::string from_agent;
  std::optional<std::string> to_agent;  // absent for a broadcast
  std::string content;
  UnixSeconds timestamp;
};

using Inbox = Fifo<Message>;

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

using ActivityBucket = std::vector<ActivityEvent>;

}  // namespace halvex
