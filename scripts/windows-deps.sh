#!/usr/bin/env bash
# Makes the cross prefix that the Windows build looks in, under build-win-deps/ (or
# $WIN_DEPS_DIR): links to Debian's header-only libraries (Boost, RapidJSON), and GoogleTest and
# Google Benchmark compiled from Debian's sources with the mingw-w64 cross compiler. The packages
# come from scripts/setup.sh. Done once: a second run finds the stamp and returns at once; a
# changed compiler, package version or this script makes it again.
# /etc/apt is left untouched: the benchmark source is fetched with private apt lists.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
deps=$(realpath -m "${WIN_DEPS_DIR:-build-win-deps}")
prefix=$deps/prefix
toolchain=$root/cmake/Toolchain-Windows-x86_64.cmake
jobs=${WIN_DEPS_JOBS:-$(nproc)}

version() { dpkg-query -W -f='${Version}' "$1"; }
key="$(x86_64-w64-mingw32-g++-posix -dumpfullversion)|googletest $(version googletest)"
key+="|benchmark $(version libbenchmark-dev)|$(sha256sum "$0" "$toolchain" | cut -c1-64 | tr '\n' ' ')"
if [ -f "$prefix/.stamp" ] && [ "$(cat "$prefix/.stamp")" = "$key" ]; then
  exit 0
fi
echo "windows-deps: making the cross prefix in $prefix"
rm -rf "$prefix" "$deps/build"
mkdir -p "$prefix/include" "$deps/build" "$deps/src"

# Whole folders of Debian's headers, not /usr/include: glibc's headers must not be seen.
ln -s /usr/include/boost "$prefix/include/boost"
ln -s /usr/include/rapidjson "$prefix/include/rapidjson"

cross_build() {  # name source-dir [cmake options...]
  local name=$1 source=$2
  shift 2
  cmake -S "$source" -B "$deps/build/$name" -G Ninja -Wno-dev -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQUILLMARK_CROSS_PREFIX="$prefix" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >"$deps/build/$name.log" 2>&1 ||
    { cat "$deps/build/$name.log"; exit 1; }
  cmake --build "$deps/build/$name" -j"$jobs" >>"$deps/build/$name.log" 2>&1 ||
    { tail -n 60 "$deps/build/$name.log"; exit 1; }
  cmake --install "$deps/build/$name" >>"$deps/build/$name.log" 2>&1
}

cross_build googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON

# The benchmark source of the installed libbenchmark-dev, through lists of our own that hold
# the machine's own Debian sources as source entries.
benchmark_version=$(version libbenchmark-dev)
benchmark_source=$deps/src/benchmark-${benchmark_version%%-*}
if [ ! -f "$benchmark_source/CMakeLists.txt" ]; then
  apt_dir=$deps/apt
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb \(.*\)/deb-src \1/p' "$f" >"$apt_dir/sources.list.d/$(basename "$f").list"
  done
  apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
    -o Dir::State::Status=/var/lib/dpkg/status -o APT::Sandbox::User=root -o Debug::NoLocking=1)
  apt-get "${apt_options[@]}" -q update >"$apt_dir/update.log" 2>&1 ||
    { cat "$apt_dir/update.log"; exit 1; }
  (cd "$deps/src" && apt-get "${apt_options[@]}" -q source --download-only "benchmark=$benchmark_version" \
    >"$apt_dir/source.log" 2>&1) || { cat "$apt_dir/source.log"; exit 1; }
  rm -rf "$benchmark_source"
  # apt checked the files against the signed source index; dpkg-source has no key for the .dsc.
  (cd "$deps/src" && dpkg-source -x ./benchmark_*.dsc "$benchmark_source" \
    >"$apt_dir/unpack.log" 2>&1) || { cat "$apt_dir/unpack.log"; exit 1; }
fi
# The unpacked source has no Git history to take its version from; 0.0.0 means the project's own.
cross_build benchmark "$benchmark_source" -DGIT_VERSION=0.0.0 -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF \
  -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_ENABLE_INSTALL=ON -DBENCHMARK_INSTALL_DOCS=OFF \
  -DBENCHMARK_ENABLE_LTO=OFF -DBUILD_SHARED_LIBS=OFF

echo "$key" >"$prefix/.stamp"
echo "windows-deps: done"
