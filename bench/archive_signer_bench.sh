#!/usr/bin/env bash
# The upgrade step, native against Java, on the same images in the same run:
# the demo template and MIB MiB (default 512) of compressible data, once as one
# entry and once as four entries of a quarter each. The Java path is what the
# Make run does for Java: build the package in Temp (the ZIP writer), then
# Java's signapk.jar -w signs it (as the Make run starts it). The native
# signers write the signed archive in one pass from the template and the
# images. Every round runs the three, interleaved; the script prints the
# median times, the ratios to the Java path (below 1: faster), the load
# average and the native signer's peak resident memory, and checks that native
# and Java wrote the same bytes.
#   bench/archive_signer_bench.sh
# MIB, ROUNDS (default 3), BUILD_DIR (default build-bench) and BENCH_DIR (the
# scratch folder; needs about 5 x MIB) can be set.
. "$(dirname "$0")/lib.sh"
mib=${MIB:-512}
rounds=${ROUNDS:-3}
bench_archive_signer

# Compressible like a root file system: the system's programs, over and over.
: > "$work/programs.bin"
while [ "$(stat -c %s "$work/programs.bin")" -lt $((mib * 1048576)) ]; do
  find /usr/bin -maxdepth 1 -type f -size -8M -print0 | sort -z | xargs -0 cat >> "$work/programs.bin"
done
truncate -s "${mib}M" "$work/programs.bin"
mkdir -p "$work/one" "$work/four"
mv "$work/programs.bin" "$work/one/system.img"
split -n 4 -d --additional-suffix=.img "$work/one/system.img" "$work/four/part"

seconds() { /usr/bin/time -f %e -o "$work/t" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; exit 1; }; cat "$work/t"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# The Java path as one command, for /usr/bin/time.
cat > "$work/java_path.sh" <<EOS
#!/bin/sh
set -e
"$work/archive_signer_bench" package "$in/META-INF.zip" "$work/package.zip" "\$@"
cd "$in" && "$java" -jar -Xms32m -Xmx512m "$jar" -w testkey.x509.pem testkey.pk8 "$work/package.zip" "$work/java.zip"
EOS
chmod +x "$work/java_path.sh"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for case in one four; do
  images=("$work/$case"/*.img)
  : > "$work/java.times"; : > "$work/native.times"; : > "$work/parallel.times"
  for ((r = 1; r <= rounds; r++)); do
    seconds "$work/java_path.sh" "${images[@]}" >> "$work/java.times"
    seconds "$work/archive_signer_bench" sign native "$in/testkey.x509.pem" "$in/testkey.pk8" "$in/META-INF.zip" \
      "$work/native.zip" "${images[@]}" >> "$work/native.times"
    seconds "$work/archive_signer_bench" sign native-parallel "$in/testkey.x509.pem" "$in/testkey.pk8" \
      "$in/META-INF.zip" "$work/parallel.zip" "${images[@]}" >> "$work/parallel.times"
  done
  cmp -s "$work/java.zip" "$work/native.zip" || { echo "native and Java outputs differ ($case)" >&2; exit 1; }
  unzip -tq "$work/parallel.zip" >/dev/null || { echo "the native-parallel output does not unzip ($case)" >&2; exit 1; }
  j=$(median < "$work/java.times"); n=$(median < "$work/native.times"); p=$(median < "$work/parallel.times")
  bench_measure "$work/mem" "$work/archive_signer_bench" sign native "$in/testkey.x509.pem" "$in/testkey.pk8" \
    "$in/META-INF.zip" "$work/native.zip" "${images[@]}" >/dev/null
  rss=$(awk -F': ' '/Maximum resident/ { printf "%.0f", $2 / 1024 }' "$work/mem")
  entries=$([ $case = one ] && echo "1 entry" || echo "4 entries")
  printf '%s MiB, %s: java path %ss, native %ss (%.2f x), native-parallel %ss (%.2f x), native peak %s MiB\n' \
    "$mib" "$entries" "$j" "$n" "$(echo "$n / $j" | bc -l)" "$p" "$(echo "$p / $j" | bc -l)" "$rss"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
