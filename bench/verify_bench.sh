#!/usr/bin/env bash
# Reading signed outputs back: elapsed time and peak resident memory of
# `tarnel-cli verify` over a large whole image (later generation) and a large
# Yaffs container (first generation, NAND 2K + 64). The readers stream through
# fixed buffers, so the peak should stay far below 64 MiB whatever the size.
#   bench/verify_bench.sh [size in GiB, default 1]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the inputs and outputs (default a fresh folder under /tmp; needs
# room for about four times the given size).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
size_gib=${1:-1}
if [ ! -x /usr/bin/time ]; then
  echo "needs /usr/bin/time (Debian package 'time')" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_GUI=OFF \
    -DTARNEL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target tarnel-cli >/dev/null
cli="$build/bin/tarnel-cli"
work=$(mktemp -d "${BENCH_DIR:-/tmp}/tarnel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/in" "$work/out0" "$work/out2"
"$cli" keygen "$work/in/Keys_for_signature.txt" >/dev/null
echo pk8 >"$work/in/testkey.pk8"
echo pem >"$work/in/testkey.x509.pem"
# Pseudo-random data, so that nothing compresses or repeats.
bytes=$((size_gib * 1024 * 1024 * 1024))
{ openssl enc -aes-128-ctr -nosalt -pass pass:tarnel -in /dev/zero 2>/dev/null || true; } |
  head -c "$bytes" >"$work/in/image.bin" || true
[ "$(stat -c %s "$work/in/image.bin")" -eq "$bytes" ]
table() {  # board file, flash, file type
  cat >"$work/in/$1" <<XML
<?xml version="1.0" encoding="GB2312"?>
<Tarnel_PartConfigs>
    <PartConfig Sel="1" OutputName="image" FileType="$3" FlashName="$2" Upgrade="No" UnsignedFile="image.bin"/>
</Tarnel_PartConfigs>
XML
}
table t2.xml EMMC_8G "Non-File System"
table t0.xml NAND_128M_2K_ECC4 "yaffs File System"
"$cli" make --board 2 --config "$work/in/t2.xml" --keys "$work/in/Keys_for_signature.txt" --output "$work/out2" 2>/dev/null
"$cli" make --board 0 --config "$work/in/t0.xml" --keys "$work/in/Keys_for_signature.txt" --output "$work/out0" 2>/dev/null

for run in "2 whole image (RSA)" "0 Yaffs MAC container"; do
  board=${run%% *}
  echo "== verify, ${run#* }, $size_gib GiB"
  /usr/bin/time -v "$cli" verify --keys "$work/in/Keys_for_signature.txt" --board "$board" \
    "$work/out$board/image.img" 2>"$work/time.txt"
  grep -E "Elapsed|Maximum resident" "$work/time.txt"
done
