# How the extension and the core link, per platform.
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

# The shard lock's 64-bit atomic read-modify-writes: some toolchains (32-bit
# ARM, some RISC-V) need libatomic for them, most do not. Link it only then.
function(halvex_link_atomic_if_needed target)
  set(probe "
#include <atomic>
#include <cstdint>
int main() {
  std::atomic<std::uint64_t> word{0};
  std::uint64_t seen = word.fetch_or(1);
  word.compare_exchange_weak(seen, seen + 4);
  return static_cast<int>(word.fetch_sub(2));
}")
  check_cxx_source_compiles("${probe}" HALVEX_ATOMIC_WITHOUT_LIB)
  if(HALVEX_ATOMIC_WITHOUT_LIB)
    return()
  endif()
  set(CMAKE_REQUIRED_LIBRARIES atomic)
  check_cxx_source_compiles("${probe}" HALVEX_ATOMIC_WITH_LIB)
  if(NOT HALVEX_ATOMIC_WITH_LIB)
    message(FATAL_ERROR "64-bit atomics link neither with nor without libatomic")
  endif()
  target_link_libraries(${target} PUBLIC atomic)
endfunction()

# Only PyInit_<module> leaves the extension, and the C++ runtime goes inside it
# so the wheel needs nothing from the system's libstdc++.
function(halvex_export_only_init target)
  set(dir "${CMAKE_CURRENT_FUNCTION_LIST_DIR}")
  if(WIN32)
    # PyMODINIT_FUNC is the only dllexport; nothing else is exported.
    if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc -static)
    endif()
  elseif(APPLE)
    target_link_options(${target} PRIVATE
      "LINKER:-exported_symbols_list,${dir}/exported_symbols.txt")
  else()
    target_link_options(${target} PRIVATE "LINKER:--version-script=${dir}/version_script.map")
    foreach(flag -static-libstdc++ -static-libgcc "LINKER:--exclude-libs,ALL")
      string(MAKE_C_IDENTIFIER "HALVEX_LD_${flag}" have)
      check_linker_flag(CXX "${flag}" ${have})
      if(${have})
        target_link_options(${target} PRIVATE "${flag}")
      endif()
    endforeach()
  endif()
endfunction()
