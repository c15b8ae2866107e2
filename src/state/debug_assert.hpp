// Checks of internal invariants, too costly for release builds: compiled in
// where HALVEX_DEBUG_ASSERTS is defined (the sanitizer builds and the C++
// unit tests), to nothing elsewhere. A failed check names itself on standard
// error and stops the process: the structure it guards is already broken,
// and the checks sit in code that must not throw.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace halvex {

[[noreturn]] inline void debug_assert_failed(const char* check, const char* file,
                                             int line) noexcept {
  std::fprintf(stderr, "halvex_core: debug check failed: %s (%s:%d)\n", check, file, line);
  std::abort();
}

}  // namespace halvex

#if defined(HALVEX_DEBUG_ASSERTS)
#define HALVEX_DEBUG_ASSERT(check) \
  ((check) ? static_cast<void>(0) : ::halvex::debug_assert_failed(#check, __FILE__, __LINE__))
#else
#define HALVEX_DEBUG_ASSERT(check) static_cast<void>(0)
#endif
