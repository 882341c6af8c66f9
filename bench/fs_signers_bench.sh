#!/usr/bin/env bash
# The sparse Ext4, UBI and Yaffs signers over images of several GiB: elapsed
# time and peak resident memory (each signer streams through buffers of about
# 1 MiB, so the peak should stay far below 64 MiB whatever the image size).
#   bench/fs_signers_bench.sh [size in GiB, default 3] [ext4 ubi yaffs]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for sources and outputs (default a fresh folder under /tmp; the Ext4
# run needs about 2.5 times the size, the others about twice the size).
. "$(dirname "$0")/lib.sh"
size_gib=${1:-3}
shift || true
kinds=${*:-ext4 ubi yaffs}
bench_prepare fs_signers_bench

for kind in $kinds; do
  run="$work/$kind"
  mkdir -p "$run"
  case $kind in
    ext4) "$work/fs_signers_bench" make-sparse "$run/source.img" "$size_gib" ;;
    *) truncate -s "${size_gib}G" "$run/source.img" ;;
  esac
  echo "== $kind, ${size_gib} GiB ($(stat -c %s "$run/source.img") bytes of source)"
  bench_measure "$run/time.txt" "$work/fs_signers_bench" "$kind" "$run" "$run/source.img"
  rm -rf "$run"
done
