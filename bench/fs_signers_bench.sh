#!/usr/bin/env bash
# The sparse Ext4, UBI and Yaffs signers over images of several GiB: elapsed
# time and peak resident memory (each signer streams through buffers of about
# 1 MiB, so the peak should stay far below 64 MiB whatever the image size).
#   bench/fs_signers_bench.sh [size in GiB, default 3] [ext4 ubi yaffs]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for sources and outputs (default a fresh folder under /tmp; the Ext4
# run needs about 2.5 times the size, the others about twice the size).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size_gib=${1:-3}
shift || true
kinds=${*:-ext4 ubi yaffs}
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
  -I "$root/src" "$root/bench/fs_signers_bench.cpp" "$build/libtarnel_core.a" \
  -lcrypto -lz -ltinyxml2 -o "$work/fs_signers_bench"

for kind in $kinds; do
  run="$work/$kind"
  mkdir -p "$run"
  case $kind in
    ext4) "$work/fs_signers_bench" make-sparse "$run/source.img" "$size_gib" ;;
    *) truncate -s "${size_gib}G" "$run/source.img" ;;
  esac
  echo "== $kind, ${size_gib} GiB ($(stat -c %s "$run/source.img") bytes of source)"
  /usr/bin/time -v "$work/fs_signers_bench" "$kind" "$run" "$run/source.img" 2>"$run/time.txt" || {
    cat "$run/time.txt" >&2
    exit 1
  }
  grep -E "Elapsed|Maximum resident" "$run/time.txt"
  rm -rf "$run"
done
