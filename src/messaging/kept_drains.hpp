// The copies of a large drain, kept past the call that drained them.
//
// The drain entry builds its list from the messages it took out and keeps
// those copies until the list is handed over, so that an interruption can
// put them back. Freeing a large batch takes long enough that a signal
// arriving meanwhile would run only after the call returned, and its
// exception would drop the list; so a large batch is freed later instead: at
// the calling thread's next call of any method, or when the object it came
// from is freed, whichever comes first. Small batches are freed at once.
#pragma once

#include <cstddef>

#include "state/types.hpp"

namespace halvex::kept_drains {

// Drains of at most this many messages are freed before their call returns.
inline constexpr std::size_t kFreeAtOnce = 1024;

// Keeps `copies` for the calling thread, on behalf of the object `owner`.
void keep(const void* owner, Inbox copies);

// Frees what the calling thread keeps. One relaxed load when no thread
// keeps anything.
void release_mine() noexcept;

// Frees what any thread keeps on behalf of `owner`.
void release_owner(const void* owner) noexcept;

}  // namespace halvex::kept_drains
