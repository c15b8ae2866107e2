// Windows: the calls the module was designed around.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>

#include "state/platform/filetime.hpp"
#include "state/platform/platform.hpp"

namespace halvex::platform {

bool random_bytes(unsigned char* buf, std::size_t len) noexcept {
  // BCryptGenRandom takes a ULONG length; the core asks for 16 bytes.
  if (len > 0xFFFFFFFFu) return false;
  return BCryptGenRandom(nullptr, buf, static_cast<ULONG>(len), BCRYPT_USE_SYSTEM_PREFERRED_RNG) ==
         0;
}

std::size_t processor_count() noexcept {
  // Every processor group, not only the calling thread's (at most 64 each).
  return static_cast<std::size_t>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

bool wall_clock_ticks(std::int64_t& ticks) noexcept {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  const std::uint64_t raw =
      (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  ticks = unix_ticks_from_filetime(static_cast<std::int64_t>(raw));
  return true;
}

void yield_thread() noexcept { Sleep(0); }

void park(std::atomic<std::uint64_t>& word, std::uint64_t seen) noexcept {
  // std::atomic<uint64_t> is lock-free and has the layout of its value, so the
  // address of the atomic is the address of the word.
  static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
  static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t));
  WaitOnAddress(&word, &seen, sizeof seen, INFINITE);
}

void unpark_all(std::atomic<std::uint64_t>& word) noexcept { WakeByAddressAll(&word); }

}  // namespace halvex::platform
