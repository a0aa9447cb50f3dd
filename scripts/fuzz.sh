#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ (or $FUZZ_BUILD_DIR) and runs each
# from its committed seed corpus for FUZZ_SECONDS (default 60), all in parallel. Any crash,
# leak, time-out (a single input over FUZZ_TIMEOUT seconds) or sanitizer report fails.
#   scripts/fuzz.sh [target...]     # default: every target that was built
#   FUZZ_ONLY_BUILD=1 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
per_input=${FUZZ_TIMEOUT:-10}

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMARK_FUZZ=ON -DQUILLMARK_BENCH=OFF >/dev/null
cmake --build "$build_dir" --target quillmark_fuzzers
[ -n "${FUZZ_ONLY_BUILD:-}" ] && exit 0

targets=("$@")
if ((${#targets[@]} == 0)); then
  for exe in "$build_dir"/fuzz/*; do
    [ -f "$exe" ] && [ -x "$exe" ] && targets+=("$(basename "$exe")")
  done
fi
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets built yet"
  exit 0
fi

work=$build_dir/fuzz-work
rm -rf "$work"
mkdir -p "$work"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
declare -A pids
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  seeds=fuzz/corpus/$t
  [ -d "$seeds" ] || seeds=""
  # New inputs go to the scratch corpus; the committed seeds are only read.
  "$build_dir/fuzz/$t" -max_total_time="$seconds" -timeout="$per_input" -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" \
    "$work/$t/corpus" $seeds >"$work/$t/log" 2>&1 &
  pids[$t]=$!
done
failed=()
for t in "${!pids[@]}"; do
  if wait "${pids[$t]}"; then
    echo "fuzz: $t ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$t/log" | grep -o '[0-9]*$') runs)"
  else
    failed+=("$t")
    echo "fuzz: $t FAILED; last lines of $work/$t/log:"
    tail -n 40 "$work/$t/log"
    ls "$work/$t/artifacts"
  fi
done
((${#failed[@]} == 0)) || { echo "fuzz: failures in ${failed[*]}"; exit 1; }
