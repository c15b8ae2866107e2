#include "messaging/messaging.hpp"

#include <utility>

#include "state/activity_log.hpp"

namespace halvex {
namespace {

// Makes the agent known as Idle unless it already has a status.
void register_agent(const CoordinationState& state, std::string_view agent_id) {
  auto e = state.statuses->entry_ref(agent_id);
  if (!e.occupied()) e.insert(AgentStatus::Idle);
}

// Look-up, creation of an empty inbox and the append under one hold of the
// inbox shard's write lock.
void deliver(const CoordinationState& state, std::string_view agent_id, const Message& m) {
  auto e = state.inboxes->entry_ref(agent_id);
  e.or_insert(Inbox{}).push_back(m);
}

}  // namespace

Message send_message(const CoordinationState& state, std::string from_agent,
                     std::string to_agent, std::string content) {
  Message m{std::move(from_agent), std::move(to_agent), std::move(content), now_secs()};
  const std::string& to = *m.to_agent;
  deliver(state, to, m);
  register_agent(state, to);
  append_activity(*state.activity_log,
                  event::MessageSent{m.from_agent, to, m.content, now_secs()});
  return m;
}

Message broadcast(const CoordinationState& state, std::string from_agent, std::string content) {
  Message m{std::move(from_agent), std::nullopt, std::move(content), now_secs()};
  register_agent(state, m.from_agent);  // released before statuses is iterated

  std::vector<std::string> recipients;
  state.statuses->for_each(
      [&](const std::string& agent, AgentStatus) { recipients.push_back(agent); });

  for (const std::string& agent : recipients) deliver(state, agent, m);
  append_activity(*state.activity_log, event::BroadcastSent{m.from_agent, m.content, now_secs()});
  return m;
}

std::vector<Message> read_inbox(const CoordinationState& state, std::string_view agent_id) {
  auto e = state.inboxes->entry_ref(agent_id);
  const Inbox& inbox = e.or_insert(Inbox{});
  std::vector<Message> out;
  out.reserve(inbox.size());
  for (std::size_t i = 0; i < inbox.size(); ++i) out.push_back(inbox[i]);
  return out;
}

Inbox drain_inbox(const CoordinationState& state, std::string_view agent_id) {
  auto e = state.inboxes->entry_ref(agent_id);
  return e.or_insert(Inbox{}).take_all();
}

void restore_inbox(const CoordinationState& state, std::string_view agent_id, Inbox drained) {
  auto e = state.inboxes->entry_ref(agent_id);
  e.or_insert(Inbox{}).prepend(std::move(drained));
}

AgentStatus agent_status(const CoordinationState& state, std::string_view agent_id) {
  auto ref = state.statuses->get(agent_id);
  return ref ? *ref : AgentStatus::Idle;
}

std::string_view status_word(AgentStatus status) noexcept {
  static constexpr std::string_view kWords[] = {"idle", "busy", "completed", "error"};
  return kWords[static_cast<std::uint8_t>(status) & 3];
}

}  // namespace halvex
