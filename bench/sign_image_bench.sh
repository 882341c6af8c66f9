#!/usr/bin/env bash
# Whole-image signing of a large sparse file: elapsed time and peak resident
# memory (the signer streams through one 10 MiB buffer, so the peak should stay
# far below 64 MiB whatever the image size).
#   bench/sign_image_bench.sh [size in GiB, default 3]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the source and output (default a fresh folder under /tmp; needs
# room for one output of the given size).
. "$(dirname "$0")/lib.sh"
size_gib=${1:-3}
bench_prepare sign_image_bench

truncate -s "${size_gib}G" "$work/source.bin"
bench_measure "$work/time.txt" "$work/sign_image_bench" "$work" "$work/source.bin"
