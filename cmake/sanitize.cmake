# The checked builds: AddressSanitizer with UndefinedBehaviorSanitizer over
# everything (./test.sh --sanitize), ThreadSanitizer over the server (its
# second stage), and libFuzzer's coverage instrumentation
# for the fuzz targets under tests/fuzz (clang only).

option(QUILLON_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(QUILLON_TSAN "Build everything with ThreadSanitizer" OFF)
option(QUILLON_FUZZ "Build the fuzz targets as libFuzzer programs (needs clang)" OFF)

if(QUILLON_SANITIZE)
  # No recovery: the first report ends the process, so nothing can report
  # undefined behaviour and then carry on to pass a test.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(QUILLON_TSAN)
  # Clients are served on threads of their own; this build proves they share
  # nothing unguarded.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(QUILLON_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUILLON_FUZZ needs clang (configure with CXX=clang++ CC=clang)")
  endif()
  # Coverage feedback for the code under test (C++ only: the one C program is
  # the benchmarks' echo peer); the fuzz programs themselves add
  # -fsanitize=fuzzer, which brings libFuzzer's main.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fsanitize=fuzzer-no-link>)
endif()
