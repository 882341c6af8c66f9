#!/usr/bin/env bash
# A whole Make run of a realistic table on each generation: the boot image,
# two raw partitions of PART_MIB (default 256), a sparse Ext4 image of
# 4 x PART_MIB, a UBI image of PART_MIB (later generation; a Yaffs image on
# the first) and the upgrade package of the raw, Ext4 and UBI rows. Prints the
# elapsed time of the run, the part of it spent in Java (signapk is outside
# our code) and the peak resident memory of tarnel-cli.
#   bench/whole_run.sh
# BUILD_DIR selects the build folder (default build-bench), BENCH_DIR the
# scratch folder (needs about 20 x PART_MIB).
. "$(dirname "$0")/lib.sh"
part_mib=${PART_MIB:-256}
bench_prepare zip_append_bench
bench_cli
bench_workspace "$work/ws"
in=$work/ws/input

# A program folder of our own whose Java records how long it ran.
run_home=$work/home/
mkdir -p "$run_home/jre/bin" "$run_home/Temp"
cp -r "$home/Config" "$home/BurnConfig.ini" "$run_home/"
real_java=$(readlink -f "$home/jre/bin/java")
cat > "$run_home/jre/bin/java" <<WRAP
#!/usr/bin/env bash
start=\$(date +%s.%N)
"$real_java" "\$@"
status=\$?
echo "\$(date +%s.%N) - \$start" | bc -l >> "$work/java_seconds"
exit \$status
WRAP
chmod +x "$run_home/jre/bin/java"

head -c "${part_mib}M" /dev/urandom > "$in/raw1.bin"
head -c "${part_mib}M" /dev/urandom > "$in/raw2.bin"
head -c "${part_mib}M" /dev/urandom > "$in/ubi.bin"
# Ext4: half data, half holes, as a fresh file system image is.
truncate -s "$((4 * part_mib))M" "$work/ext4.raw"
head -c "$((2 * part_mib))M" /dev/urandom | dd of="$work/ext4.raw" conv=notrunc status=none
img2simg "$work/ext4.raw" "$in/ext4.img"
rm -f "$work/ext4.raw"
# The Yaffs image: whole 2K pages with 64 spare bytes.
head -c "$((part_mib / 4 * 1024 * 2112))" /dev/urandom > "$in/yaffs.bin"

bench_table "$in/later.xml" "fastboot|Fastboot|EMMC_8G|No|fastboot.bin" \
  "kernel|Non-File System|EMMC_8G|Yes|raw1.bin" "recovery|Non-File System|EMMC_8G|No|raw2.bin" \
  "system|Ext4 File System|EMMC_8G|Yes|ext4.img" "rootfs|Ubi File System|EMMC_8G|Yes|ubi.bin"
bench_table "$in/first.xml" "fastboot|Fastboot|NAND_128M_2K_ECC4|No|fastboot.bin" \
  "kernel|Non-File System|NAND_128M_2K_ECC4|Yes|raw1.bin" "recovery|Non-File System|NAND_128M_2K_ECC4|No|raw2.bin" \
  "system|Ext4 File System|NAND_128M_2K_ECC4|Yes|ext4.img" "userdata|Yaffs File System|NAND_128M_2K_ECC4|No|yaffs.bin"

printf "%-12s %10s %10s %14s\n" board run_s java_s peak_rss_MiB  # the peak includes Java
for board in Qm5820RA200:later Qm5820RA100:first; do
  rm -rf "$work/out" "$work/java_seconds"
  mkdir -p "$work/out"
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$cli_bin" make --home "$run_home" --board "${board%%:*}" \
    --config "$in/${board##*:}.xml" --keys "$in/Keys_for_signature.txt" --output "$work/out/" >"$work/run.txt" 2>&1 ||
    { cat "$work/run.txt" >&2; exit 1; }
  read -r elapsed peak < "$work/time.txt"
  java=$(paste -sd+ "$work/java_seconds" 2>/dev/null | bc -l)
  printf "%-12s %10.2f %10.2f %14.1f\n" "${board%%:*}" "$elapsed" "${java:-0}" "$(echo "$peak / 1024" | bc -l)"
done
