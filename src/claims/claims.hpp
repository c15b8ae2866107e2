// Exclusive, expiring claims on resources keyed "file:<path>" or "task:<id>".
#pragma once

#include <string>

#include "state/fault.hpp"
#include "state/record.hpp"

namespace halvex {

// A claim whose later timestamp is `latest` is live at `now` while fewer than
// `threshold` seconds have passed; a clock set back below `latest` counts as
// no time passed, so the claim stays live.
bool claim_is_live(const Claim& claim, UnixSeconds now, std::uint64_t threshold) noexcept;

// Grants a claim on the key "file:" + name (File) or "task:" + name (Task),
// taking over an expired one. Fails with the conflict message while a live
// claim is stored, whoever holds it.
Outcome<Claim> claim_resource(const CoordinationState& state, ClaimKind kind, std::string agent_id,
                              std::string name);

// Restarts the lease of the caller's own claim, live or expired.
Outcome<Claim> renew_claim(const CoordinationState& state, std::string agent_id,
                           std::string resource_key);

// Removes the caller's own claim and marks the caller Idle.
Outcome<Unit> release(const CoordinationState& state, std::string agent_id,
                      std::string resource_key);

}  // namespace halvex
