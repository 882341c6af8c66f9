#!/usr/bin/env bash
# First-generation containers (single-MAC and chunked) and the boot image over
# one large sparse file: elapsed time per output and peak resident memory (all
# three stream through fixed buffers, so the peak should stay far below
# 64 MiB whatever the image size).
#   bench/mac_containers_bench.sh [size in MiB, default 2048; below 4 GiB]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the source and outputs (default a fresh folder under /tmp; needs
# room for one output of the given size at a time).
. "$(dirname "$0")/lib.sh"
size_mib=${1:-2048}
bench_prepare mac_containers_bench

truncate -s "${size_mib}M" "$work/source.bin"
bench_measure "$work/time.txt" "$work/mac_containers_bench" "$work" "$work/source.bin"
