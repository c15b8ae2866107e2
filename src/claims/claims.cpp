#include "claims/claims.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "state/activity_log.hpp"

namespace halvex {
namespace {

constexpr std::string_view kFilePrefix = "file:";
constexpr std::string_view kTaskPrefix = "task:";

std::uint64_t liveness_threshold(const CoordinationState& s) noexcept {
  const std::uint64_t sum = s.lease_secs + s.lease_grace_secs;
  return sum < s.lease_secs ? ~std::uint64_t{0} : sum;  // saturate
}

// Claim records are always built whole. One reading serves both timestamps:
// two readings within a call may fall in the same second anyway.
Claim build_claim(SmallString holder, UnixSeconds now) {
  return Claim{std::move(holder), now, now};
}

std::string concat(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string out;
  out.reserve(a.size() + b.size() + c.size());
  out.append(a).append(b).append(c);
  return out;
}

}  // namespace

bool claim_is_live(const Claim& claim, UnixSeconds now, std::uint64_t threshold) noexcept {
  const UnixSeconds latest = std::max(claim.claimed_at, claim.renewed_at);
  const std::uint64_t elapsed = now > latest ? now - latest : 0;
  return elapsed < threshold;
}

Outcome<Claim> claim_resource(const CoordinationState& state, ClaimKind kind, std::string agent_id,
                              std::string name) {
  const std::string_view prefix = kind == ClaimKind::File ? kFilePrefix : kTaskPrefix;
  // The call's only clock reading, taken before anything changes, serves the
  // candidate, the liveness test and the records.
  const UnixSeconds now = now_secs();
  SmallString key = SmallString::concat(prefix, name);
  // Both lookups' cache misses start now and overlap with building the
  // candidate, instead of coming one after the other under the locks.
  const auto at_claims = state.claims->prepare(key.view());
  const auto at_status = state.statuses->prepare(agent_id);
  Claim candidate = build_claim(SmallString(agent_id), now);

  auto e = state.claims->entry_hashed(std::move(key), at_claims);
  if (!e.occupied()) {
    // Grant: the claims lock covers the insert only.
    e.insert(candidate);
    e.release();
    state.statuses->insert_ref_hashed(agent_id, at_status, AgentStatus::Busy);
    append_activity(*state.activity_log, EventView::claimed(agent_id, Text(prefix, name), now));
    return candidate;
  }

  Claim& stored = e.get();
  if (claim_is_live(stored, now, liveness_threshold(state))) {
    std::string holder = stored.holder.str();
    e.release();
    if (kind == ClaimKind::File) return Failure{concat(holder, " already holds claim on ", name)};
    return Failure{concat(holder, " already holds claim on task ", name)};
  }

  // Takeover of an expired claim: the claims lock stays held while the status
  // and both records are written, so nobody sees the key half taken over.
  const SmallString previous = std::move(stored.holder);
  stored = candidate;
  const std::string_view key_text = e.key();
  state.statuses->insert_ref_hashed(agent_id, at_status, AgentStatus::Busy);
  append_activity(*state.activity_log, EventView::claimed(agent_id, key_text, now));
  append_activity(*state.activity_log, EventView::released(previous.view(), key_text, now));
  return candidate;  // `e` releases the claims lock last
}

Outcome<Claim> renew_claim(const CoordinationState& state, std::string agent_id,
                           std::string resource_key) {
  auto e = state.claims->entry_ref(resource_key);
  if (!e.occupied()) {
    e.release();
    return Failure{concat("no claim on ", resource_key, " to renew")};
  }
  Claim& stored = e.get();
  if (!(stored.holder == agent_id)) {
    std::string holder = stored.holder.str();
    e.release();
    return Failure{concat(agent_id, " cannot renew a claim held by ", holder)};
  }
  // A clock fault here leaves the stored claim untouched.
  Claim renewed = build_claim(stored.holder, now_secs());
  stored = renewed;
  return renewed;
}

Outcome<Unit> release(const CoordinationState& state, std::string agent_id,
                      std::string resource_key) {
  auto e = state.claims->entry_ref(resource_key);
  if (!e.occupied()) {
    e.release();
    return Failure{concat("no claim found for ", agent_id)};
  }
  const Claim& stored = e.get();
  if (!(stored.holder == agent_id)) {
    std::string holder = stored.holder.str();
    e.release();
    return Failure{concat(agent_id, " cannot release a claim held by ", holder)};
  }
  // The refusals above read no clock, as a renewal's do. A release that will
  // change something reads it before changing anything: a clock fault then
  // leaves the claim and the status as they were, and a retry can succeed.
  const UnixSeconds now = now_secs();
  e.remove();  // releases the claims lock
  state.statuses->insert_ref(agent_id, AgentStatus::Idle);
  append_activity(*state.activity_log, EventView::released(agent_id, resource_key, now));
  return Unit{};
}

}  // namespace halvex
