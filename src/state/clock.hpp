#pragma once

#include <cstdint>

namespace halvex {

// Whole seconds since 1970-01-01 00:00:00 UTC: the system's only time unit.
using UnixSeconds = std::uint64_t;

// 100 ns ticks from 1601-01-01 (the Windows file-time epoch) to 1970-01-01.
inline constexpr std::int64_t kFiletimeTicksAtUnixEpoch = 116'444'736'000'000'000;

// A Windows file time (100 ns ticks since 1601) as ticks since the Unix epoch;
// negative before 1970.
constexpr std::int64_t unix_ticks_from_filetime(std::int64_t filetime) noexcept {
  return filetime - kFiletimeTicksAtUnixEpoch;
}

// Converts a signed count of 100 ns ticks since the Unix epoch to whole
// seconds, rounding down. Any negative count, even one tick, is a clock before
// 1970 and throws Fault; the sign is tested on the raw count because a
// truncating division would turn -0.5 s into 0.
UnixSeconds unix_seconds_from_ticks(std::int64_t ticks_since_epoch);

// Reads the wall clock afresh. Throws Fault("system clock before unix epoch: ...")
// when it reads before 1970.
UnixSeconds now_secs();

}  // namespace halvex
