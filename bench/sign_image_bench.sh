#!/usr/bin/env bash
# Whole-image signing of a large sparse file: elapsed time and peak resident
# memory (the signer streams through one 10 MiB buffer, so the peak should stay
# far below 64 MiB whatever the image size).
#   bench/sign_image_bench.sh [size in GiB, default 3]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the source and output (default a fresh folder under /tmp; needs
# room for one output of the given size).
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
  -I "$root/src" "$root/bench/sign_image_bench.cpp" "$build/libtarnel_core.a" \
  -lcrypto -lz -ltinyxml2 -o "$work/sign_image_bench"

truncate -s "${size_gib}G" "$work/source.bin"
/usr/bin/time -v "$work/sign_image_bench" "$work" "$work/source.bin" 2>"$work/time.txt"
grep -E "Elapsed|Maximum resident" "$work/time.txt"
