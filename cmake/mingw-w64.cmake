# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (the posix-threads
# flavour, which std::thread and std::mutex need), and runs what it builds
# under Wine, so that ctest on Linux runs the Windows test executables.
#
#   cmake -S ... -B build-windows --toolchain cmake/mingw-w64.cmake
#
# Everything is linked statically (libgcc, libstdc++, winpthread, zlib): an
# executable then needs no DLL beside it, which is also what lets it run under
# Wine with no further set-up (a missing DLL fails silently there).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_quillon_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_quillon_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_quillon_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_quillon_mingw}-windres)

# Headers and libraries come from the Windows tree only; programs run during
# the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_quillon_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# libz-mingw-w64-dev ships both libz.a and the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# ctest (and gtest_discover_tests) start test executables through Wine, in a
# prefix of the build folder's own.
cmake_path(SET _quillon_wine_run NORMALIZE "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh")
set(CMAKE_CROSSCOMPILING_EMULATOR "${_quillon_wine_run};--prefix;${CMAKE_BINARY_DIR}/wine-prefix")
