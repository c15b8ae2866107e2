#pragma once

#include <cstdint>

namespace halvex {

// Whole seconds since 1970-01-01 00:00:00 UTC: the system's only time unit.
using UnixSeconds = std::uint64_t;

// Converts a signed count of 100 ns ticks since the Unix epoch to whole
// seconds, rounding down. Any negative count, even one tick, is a clock before
// 1970 and throws Fault; the sign is tested on the raw count because a
// truncating division would turn -0.5 s into 0.
UnixSeconds unix_seconds_from_ticks(std::int64_t ticks_since_epoch);

// Reads the wall clock afresh. Throws Fault("system clock before unix epoch: ...")
// when it reads before 1970.
UnixSeconds now_secs();

}  // namespace halvex
