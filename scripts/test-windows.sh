#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and runs their tests under Wine with
# ctest: a private Wine prefix made afresh for the run, one wineserver kept up for the whole run
# (each test would otherwise wait seconds for Wine's services to go down), no Wine debug output.
# Extra arguments go to ctest, e.g. -R tests_encoding.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${WIN_BUILD_DIR:-build-win}
WIN_BUILD_DIR=$build_dir scripts/build-windows.sh

wine_dir=$(realpath -m "$build_dir/wine")
export WINEPREFIX=$wine_dir/prefix WINEARCH=win64 WINEDEBUG=-all TMPDIR=$wine_dir/tmp
# No debugger attaching to a crash (its report would land in a test's output), no installer
# dialogs for Mono or Gecko.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# A server left by an earlier run that was cut short serves the old prefix: end it first.
[ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null || true
rm -rf "$wine_dir"
mkdir -p "$TMPDIR" "$WINEPREFIX"
# -k ends the server of this prefix only.
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wineserver" -p </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >/dev/null 2>&1
ctest --test-dir "$build_dir" --output-on-failure -j"${WIN_TEST_JOBS:-$(nproc)}" --timeout 600 "$@"
