#!/usr/bin/env bash
# Tarnel against the standard tools doing the same reading, hashing or
# encrypting and writing one after another, each copy followed by a sync of
# that file (Tarnel syncs its outputs). Every row runs ROUNDS times, Tarnel and
# its anchor interleaved; the script prints the median ratio (below 1: Tarnel
# is faster) and Tarnel's peak resident memory.
#   bench/ratios.sh [rows]    rows: whole mac ubi ext4 zip (default all)
# Sizes: SIZE_MIB (default 1024) for the image rows, ZIP_MIB (default 512) for
# the archive row, ROUNDS (default 5). BUILD_DIR selects the build folder
# (default build-bench), BENCH_DIR the scratch folder (needs about 4 x SIZE_MIB).
# Example of a quick run: SIZE_MIB=64 ZIP_MIB=32 ROUNDS=3 bench/ratios.sh
. "$(dirname "$0")/lib.sh"
size_mib=${SIZE_MIB:-1024}
zip_mib=${ZIP_MIB:-512}
rounds=${ROUNDS:-5}
rows=${*:-whole mac ubi ext4 zip}
bench_prepare zip_append_bench
bench_cli
bench_workspace "$work/ws"
ws=$work/ws
out=$work/out
mkdir -p "$out"

head -c "${size_mib}M" /dev/urandom > "$ws/input/random.bin"
cli() { "$cli_bin" make --home "$home" --keys "$ws/input/Keys_for_signature.txt" --output "$out/" "$@" >/dev/null 2>&1; }

# One row's commands: tarnel_<row> and anchor_<row>, both leave their outputs in $out.
prepare_whole() { bench_table "$ws/input/whole.xml" "img|Non-File System|EMMC_8G|No|random.bin"; }
tarnel_whole() { cli --board Qm5820RA200 --config "$ws/input/whole.xml"; }
anchor_whole() {
  openssl dgst -sha256 "$ws/input/random.bin" >/dev/null
  cp "$ws/input/random.bin" "$out/img.img" && sync "$out/img.img"
}
prepare_mac() { bench_table "$ws/input/mac.xml" "img|Non-File System|NAND_128M_2K_ECC4|No|random.bin"; }
tarnel_mac() { cli --board Qm5820RA100 --config "$ws/input/mac.xml"; }
anchor_mac() {
  openssl enc -aes-128-cbc -K 000102030405060708090a0b0c0d0e0f -iv 00000000000000000000000000000000 \
    -in "$ws/input/random.bin" -out /dev/null
  cp "$ws/input/random.bin" "$out/img.img" && sync "$out/img.img"
}
prepare_ubi() { bench_table "$ws/input/ubi.xml" "img|Ubi File System|EMMC_8G|No|random.bin"; }
tarnel_ubi() { cli --board Qm5820RA200 --config "$ws/input/ubi.xml"; }
anchor_ubi() { anchor_whole; }
prepare_ext4() {
  img2simg "$ws/input/random.bin" "$ws/input/sparse.img"
  bench_table "$ws/input/ext4.xml" "img|Ext4 File System|EMMC_8G|No|sparse.img"
}
tarnel_ext4() { cli --board Qm5820RA200 --config "$ws/input/ext4.xml"; }
anchor_ext4() {
  simg2img "$ws/input/sparse.img" "$work/expanded.img"
  openssl dgst -sha256 "$work/expanded.img" >/dev/null
  cp "$ws/input/sparse.img" "$out/img.img" && sync "$out/img.img"
  rm -f "$work/expanded.img"
}
prepare_zip() {
  # Compressible like a root file system: the system's programs, over and over.
  : > "$work/programs.bin"
  while [ "$(stat -c %s "$work/programs.bin")" -lt $((zip_mib * 1048576)) ]; do
    find /usr/bin -maxdepth 1 -type f -size -8M -print0 | sort -z | xargs -0 cat >> "$work/programs.bin"
  done
  truncate -s "${zip_mib}M" "$work/programs.bin"
}
tarnel_zip() { "$work/zip_append_bench" "$out/tarnel.zip" "$work/programs.bin" >/dev/null; }
anchor_zip() { rm -f "$out/zip.zip"; zip -6 -q -j "$out/zip.zip" "$work/programs.bin"; }

export ws out work cli_bin home zip_mib
export -f cli tarnel_whole anchor_whole tarnel_mac anchor_mac tarnel_ubi anchor_ubi tarnel_ext4 anchor_ext4 \
  tarnel_zip anchor_zip

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
timed() {  # elapsed seconds and peak resident KiB of one command
  /usr/bin/time -f "%e %M" -o "$work/time.txt" bash -c "$1" || { echo "failed: $1" >&2; exit 1; }
  cat "$work/time.txt"
}

printf "%-6s %10s %10s %8s %14s\n" row tarnel_s anchor_s ratio peak_rss_MiB
for row in $rows; do
  "prepare_$row"
  : > "$work/t.txt"; : > "$work/a.txt"
  for ((i = 0; i < rounds; i++)); do
    rm -rf "${out:?}"/*
    timed "tarnel_$row" >> "$work/t.txt"
    rm -rf "${out:?}"/*
    timed "anchor_$row" >> "$work/a.txt"
  done
  t=$(cut -d' ' -f1 "$work/t.txt" | median)
  a=$(cut -d' ' -f1 "$work/a.txt" | median)
  peak=$(cut -d' ' -f2 "$work/t.txt" | sort -n | tail -1)
  printf "%-6s %10.2f %10.2f %8.2f %14.1f\n" "$row" "$t" "$a" "$(echo "$t / $a" | bc -l)" "$(echo "$peak / 1024" | bc -l)"
  if [ "$row" = zip ]; then
    tarnel_zip; anchor_zip
    printf "       archive size tarnel / zip -6: %.3f\n" \
      "$(echo "$(stat -c %s "$out/tarnel.zip") / $(stat -c %s "$out/zip.zip")" | bc -l)"
  fi
done
