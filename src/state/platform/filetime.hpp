// Windows file times, kept beside windows.cpp, their one user; free of
// system headers so that the conversion is tested on every platform.
#pragma once

#include <cstdint>

namespace halvex::platform {

// 100 ns ticks from 1601-01-01 (the Windows file-time epoch) to 1970-01-01.
inline constexpr std::int64_t kFiletimeTicksAtUnixEpoch = 116'444'736'000'000'000;

// A Windows file time (100 ns ticks since 1601) as ticks since the Unix epoch;
// negative before 1970.
constexpr std::int64_t unix_ticks_from_filetime(std::int64_t filetime) noexcept {
  return filetime - kFiletimeTicksAtUnixEpoch;
}

}  // namespace halvex::platform
