// Inboxes, direct messages, broadcasts and agent status words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "state/record.hpp"

namespace halvex {

// Delivers one message to `to_agent`'s inbox (creating it), makes the
// recipient known as Idle if it was not, and logs MessageSent.
Message send_message(const CoordinationState& state, std::string from_agent, std::string to_agent,
                     std::string content);

// Registers the sender, then delivers one copy, with one timestamp, to every
// agent known at the time the recipient list is copied, sender included.
Message broadcast(const CoordinationState& state, std::string from_agent, std::string content);

// Copies of the queued messages, oldest first; an agent without an inbox has
// none, and gets no inbox by asking.
Inbox inbox(const CoordinationState& state, std::string_view agent_id);

// Moves every queued message out, oldest first, leaving the inbox empty (an
// agent without an inbox still has none).
Inbox drain_inbox(const CoordinationState& state, std::string_view agent_id);

// Puts drained messages back at the front of the inbox, ahead of anything that
// arrived since, in their original order. Used when handing a drain to the
// caller fails, so that no message is lost.
void restore_inbox(const CoordinationState& state, std::string_view agent_id, Inbox drained);

// The agent's status; an agent never seen is Idle and stays unknown.
AgentStatus status(const CoordinationState& state, std::string_view agent_id);

// "idle", "busy", "completed" or "error".
std::string_view status_word(AgentStatus status) noexcept;

}  // namespace halvex
