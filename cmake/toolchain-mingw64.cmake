# Cross-building for 64-bit Windows with MinGW-w64 (the posix thread model, which std::thread
# and std::mutex need), and running the built programs under wine: CMake's cross-compiling
# emulator runs the tests' discovery and CTest's tests. Debian: mingw-w64,
# g++-mingw-w64-x86-64-posix, wine, wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(RECORDING_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RECORDING_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RECORDING_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${RECORDING_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${RECORDING_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs carry the compiler's runtime (libstdc++, libgcc, winpthread) inside, so that
# they run without the toolchain's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
find_program(RECORDING_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(RECORDING_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RECORDING_WINE})
endif()
