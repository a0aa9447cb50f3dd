# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model, which GCC's
# std::thread needs), the programs run under Wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-Windows-x86_64.cmake -DQUILLMARK_CROSS_PREFIX=<dir>
# QUILLMARK_CROSS_PREFIX is the folder that scripts/windows-deps.sh fills: links to Debian's
# header-only libraries and GoogleTest / Google Benchmark built for Windows. Libraries are
# looked for there only, so no Linux header or library can leak into the build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${triple}-gcc-ranlib-posix CACHE FILEPATH "")

# Try-compiles see the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMARK_CROSS_PREFIX)
if(QUILLMARK_CROSS_PREFIX)
  set(CMAKE_FIND_ROOT_PATH ${QUILLMARK_CROSS_PREFIX} /usr/${triple})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests start the test programs through Wine.
find_program(QUILLMARK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QUILLMARK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLMARK_WINE})
endif()
