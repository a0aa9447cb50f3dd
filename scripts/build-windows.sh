#!/usr/bin/env bash
# Cross-builds the Windows programs (Quillmark.Daemon.exe, the tests) into build-win/ (or
# $WIN_BUILD_DIR) with mingw-w64, warnings as errors; makes the cross prefix first when it is
# missing (scripts/windows-deps.sh). Extra arguments go to CMake, e.g. -DBUILD_TESTING=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/windows-deps.sh
build_dir=${WIN_BUILD_DIR:-build-win}
deps=$(realpath -m "${WIN_DEPS_DIR:-build-win-deps}")
# The toolchain is fixed when the build folder is made; CMake would warn of it at every run after.
toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain-Windows-x86_64.cmake)
[ -f "$build_dir/CMakeCache.txt" ] && toolchain=()
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${toolchain[@]}" \
  -DQUILLMARK_CROSS_PREFIX="$deps/prefix" -DQUILLMARK_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir"
