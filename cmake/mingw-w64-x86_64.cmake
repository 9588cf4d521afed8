# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
# The programs are linked statically: vantorel.exe and the test programs need
# no DLLs beyond those of Windows itself. Tests run under Wine when it is there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTOREL_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix-threads variant gives GoogleTest the standard threads it expects.
find_program(CMAKE_C_COMPILER NAMES ${VANTOREL_MINGW_TRIPLE}-gcc-posix ${VANTOREL_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VANTOREL_MINGW_TRIPLE}-g++-posix ${VANTOREL_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VANTOREL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTOREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLLs of ours: the C and C++ runtimes and winpthreads go into each program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows programs built here run under Wine: the tests through ctest, and any
# program a build step runs. Debian names the launcher wine-stable when only the
# 64-bit half is installed.
find_program(VANTOREL_WINE NAMES wine wine-stable wine64 PATHS /usr/lib/wine)
if(VANTOREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTOREL_WINE})
endif()
# Test discovery runs the test program; do it when the tests run, not while
# building, so a build without Wine still succeeds.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
