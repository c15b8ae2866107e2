// The edge of every entry point: no C++ exception crosses into the
// interpreter. An internal fault becomes PanicException; running out of
// memory ends the process, as the core's allocations promise.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "boundary/errors.hpp"
#include "boundary/python.hpp"
#include "state/fault.hpp"

namespace halvex::py {

template <class Fn>
PyObject* guarded_call(Fn&& fn) noexcept {
  try {
    return fn();
  } catch (const Fault& f) { raise_panic(f.message()); } catch (const std::bad_alloc&) {
    std::fputs("halvex_core: memory allocation failed\n", stderr);
    std::abort();
  } catch (const std::exception& e) { raise_panic(e.what()); } catch (...) {
    raise_panic("unknown internal fault");
  }
  return nullptr;
}

}  // namespace halvex::py
