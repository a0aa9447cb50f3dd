#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and tests them under Wine:
#  1. the cross-built GoogleTest suites, run by ctest in build-win/ (or $WIN_BUILD_DIR) through
#     Wine, in a private prefix made afresh for the run with one wineserver kept up;
#  2. the process tests against the Windows daemon: the Linux build (build/ or $BUILD_DIR,
#     configured here with QUILLMARK_WINDOWS_BIN) runs its tests labelled "wine", which start
#     Quillmark.Daemon.exe under Wine and talk to it from Linux (tests/support/WineTests.cmake).
# Extra arguments go to both ctest runs, e.g. -R NativeMessaging.
set -euo pipefail
cd "$(dirname "$0")/.."
win_dir=${WIN_BUILD_DIR:-build-win}
linux_dir=${BUILD_DIR:-build}
jobs=${WIN_TEST_JOBS:-$(nproc)}
WIN_BUILD_DIR=$win_dir scripts/build-windows.sh
BUILD_DIR=$linux_dir scripts/build.sh -DQUILLMARK_WINDOWS_BIN="$(realpath "$win_dir")/bin"

# The suites' own prefix; every Wine program of the run needs the same WINEPREFIX and TMPDIR.
wine_dir=$(realpath -m "$win_dir/wine")
prefix=$wine_dir/prefix
trap 'tests/support/wine-prefix.sh stop "$prefix"' EXIT
tests/support/wine-prefix.sh start "$prefix"
# Folders for the suites' TEMP and roaming AppData (the prefix reads them from QM_TEMP and
# QM_APPDATA), outside the user's own.
mkdir -p "$wine_dir/temp" "$wine_dir/appdata"
# Both runs go to their end; the stage fails when either did.
status=0
(
  export WINEPREFIX=$prefix TMPDIR=$wine_dir WINEDEBUG=-all
  export QM_TEMP="Z:${wine_dir//\//\\}\\temp" QM_APPDATA="Z:${wine_dir//\//\\}\\appdata"
  ctest --test-dir "$win_dir" --output-on-failure -j"$jobs" --timeout 600 "$@"
) || status=1

# The Linux build's tests make and end a prefix of their own (the fixture wine_prefix).
ctest --test-dir "$linux_dir" --output-on-failure -j"$jobs" -L wine "$@" || status=1
exit $status
