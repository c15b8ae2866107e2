# Cross-compiles with zig's bundled clang, libc++ and libc headers.
#   HALVEX_ZIG         the zig executable (the ziglang package from PyPI ships one)
#   HALVEX_ZIG_TARGET  a zig target with its minimum OS or libc version, e.g.
#                      x86_64-linux-gnu.2.17, aarch64-macos.11.0, x86_64-windows-gnu
# Both may come from the environment; try_compile projects get them too.
foreach(var HALVEX_ZIG HALVEX_ZIG_TARGET)
  if(NOT ${var} AND DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  endif()
  if(NOT ${var})
    message(FATAL_ERROR "zig toolchain: ${var} is not set")
  endif()
endforeach()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVEX_ZIG HALVEX_ZIG_TARGET)

string(REGEX MATCH "^[^-]+" _arch "${HALVEX_ZIG_TARGET}")
if(HALVEX_ZIG_TARGET MATCHES "-linux-")
  set(CMAKE_SYSTEM_NAME Linux)
elseif(HALVEX_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  string(REGEX MATCH "[0-9]+\\.[0-9]+$" CMAKE_OSX_DEPLOYMENT_TARGET "${HALVEX_ZIG_TARGET}")
elseif(HALVEX_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
else()
  message(FATAL_ERROR "zig toolchain: no system known for ${HALVEX_ZIG_TARGET}")
endif()
set(CMAKE_SYSTEM_PROCESSOR "${_arch}")

set(CMAKE_C_COMPILER "${HALVEX_ZIG}" cc -target ${HALVEX_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${HALVEX_ZIG}" c++ -target ${HALVEX_ZIG_TARGET})
# CMAKE_AR cannot carry an argument, so spell out the archive rules.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "\"${HALVEX_ZIG}\" ar qc <TARGET> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "\"${HALVEX_ZIG}\" ar q <TARGET> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "\"${HALVEX_ZIG}\" ranlib <TARGET>")
endforeach()
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # CMake enables the resource compiler for every MinGW-style build but takes
  # no arguments with it; nothing here has a .rc file, so it is never run.
  set(CMAKE_RC_COMPILER "${HALVEX_ZIG}")
endif()
# Rules the platform files would otherwise overwrite.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")

# Never let the host's libraries or headers into the target.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}/no-sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
