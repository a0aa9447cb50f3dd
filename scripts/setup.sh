#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need, for Linux and for
# the Windows cross-build (mingw-w64, Wine, and the GoogleTest and Google Benchmark sources that
# scripts/windows-deps.sh compiles with it). Idempotent.
set -euo pipefail
packages=(
  git cmake ninja-build g++ clang libclang-rt-14-dev
  libboost1.81-dev libboost-stacktrace1.81-dev
  rapidjson-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-websockets chromium
  g++-mingw-w64-x86-64-posix wine64 googletest dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
