#!/usr/bin/env bash
# The ZIP writer over a large file: throughput and peak resident memory. The
# file is sparse (zeros) with 64 MiB of random bytes at its end, so deflate
# works on both kinds of data; the peak should stay far below 64 MiB.
#   bench/zip_append_bench.sh [size in GiB below 4, default 3]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the files (default a fresh folder under /tmp; needs about 130 MiB).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_gib=${1:-3}
build=${BUILD_DIR:-$root/build-bench}
if [ ! -x /usr/bin/time ]; then
  echo "needs /usr/bin/time (Debian package 'time')" >&2
  exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_GUI=OFF -DTARNEL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target tarnel_core >/dev/null

work=$(mktemp -d "${BENCH_DIR:-/tmp}/tarnel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
"${CXX:-g++}" -std=c++20 -O2 -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED -D_FILE_OFFSET_BITS=64 \
  -I "$root/src" "$root/bench/zip_append_bench.cpp" "$build/libtarnel_core.a" \
  -lcrypto -lz -ltinyxml2 -o "$work/zip_append_bench"

random_mib=64
truncate -s "$(( size_gib * 1024 - random_mib ))M" "$work/source.bin"
head -c "${random_mib}M" /dev/urandom >> "$work/source.bin"
/usr/bin/time -v "$work/zip_append_bench" "$work/package.zip" "$work/source.bin" 2>"$work/time.txt"
unzip -l "$work/package.zip" | tail -1
grep -E "Elapsed|Maximum resident" "$work/time.txt"
