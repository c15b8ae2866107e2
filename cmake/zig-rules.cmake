# Loaded by the zig toolchain after CMake's platform files.
if(APPLE)
  # zig's Mach-O linker does not build -bundle files; a dylib loads the same way.
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
endif()
