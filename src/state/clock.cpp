#include "state/clock.hpp"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "state/fault.hpp"
#include "state/platform/platform.hpp"

namespace halvex {
namespace {
constexpr std::int64_t kTicksPerSecond = 10'000'000;  // 100 ns ticks
}

UnixSeconds unix_seconds_from_ticks(std::int64_t ticks) {
  if (ticks < 0) {
    // Describe how far back the clock is, in the same tick resolution.
    const std::uint64_t behind = static_cast<std::uint64_t>(-(ticks + 1)) + 1;
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "system clock before unix epoch: the wall clock reads %" PRIu64 ".%07" PRIu64
                  " s before 1970-01-01 00:00:00 UTC",
                  behind / kTicksPerSecond, behind % kTicksPerSecond);
    throw Fault(buf);
  }
  return static_cast<UnixSeconds>(ticks / kTicksPerSecond);
}

UnixSeconds now_secs() {
  std::int64_t ticks = 0;
  if (!platform::wall_clock_ticks(ticks)) throw Fault("system clock unreadable");
  return unix_seconds_from_ticks(ticks);
}

}  // namespace halvex
