#!/usr/bin/env bash
# The ZIP writer over a large file: throughput and peak resident memory. The
# file is sparse (zeros) with 64 MiB of random bytes at its end, so deflate
# works on both kinds of data; the peak should stay far below 64 MiB.
#   bench/zip_append_bench.sh [size in GiB below 4, default 3]
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# folder for the files (default a fresh folder under /tmp; needs about 130 MiB).
. "$(dirname "$0")/lib.sh"
size_gib=${1:-3}
bench_prepare zip_append_bench

random_mib=64
truncate -s "$(( size_gib * 1024 - random_mib ))M" "$work/source.bin"
head -c "${random_mib}M" /dev/urandom >> "$work/source.bin"
bench_measure "$work/time.txt" "$work/zip_append_bench" "$work/package.zip" "$work/source.bin"
unzip -l "$work/package.zip" | tail -1
