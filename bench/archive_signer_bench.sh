#!/usr/bin/env bash
# The upgrade step's Android signing, native against Java, on the same
# package in the same run: the package holds the demo template and MIB MiB
# (default 512) of compressible data, once as one entry and once as four
# entries of a quarter each. Every round runs Java's signapk.jar -w (as the
# Make run starts it), the native signer with signapk's bytes, and the
# native-parallel mode, interleaved; the script prints the median times, the
# ratios to Java (below 1: faster) and the native signer's peak resident
# memory, and checks that native and Java wrote the same bytes.
#   bench/archive_signer_bench.sh
# MIB, ROUNDS (default 3), BUILD_DIR (default build-bench) and BENCH_DIR (the
# scratch folder; needs about 6 x MIB) can be set.
. "$(dirname "$0")/lib.sh"
mib=${MIB:-512}
rounds=${ROUNDS:-3}
bench_prepare archive_signer_bench
bench_cli
bench_workspace "$work/ws"
in=$work/ws/input
jar=$home/Config/signapk.jar
java=$home/jre/bin/java
[ -x "$java" ] && [ -f "$jar" ] || { echo "needs Java and signapk.jar in $home" >&2; exit 1; }

# Compressible like a root file system: the system's programs, over and over.
: > "$work/programs.bin"
while [ "$(stat -c %s "$work/programs.bin")" -lt $((mib * 1048576)) ]; do
  find /usr/bin -maxdepth 1 -type f -size -8M -print0 | sort -z | xargs -0 cat >> "$work/programs.bin"
done
truncate -s "${mib}M" "$work/programs.bin"
mkdir -p "$work/one" "$work/four"
mv "$work/programs.bin" "$work/one/system.img"
split -n 4 -d --additional-suffix=.img "$work/one/system.img" "$work/four/part"
"$work/archive_signer_bench" package "$in/META-INF.zip" "$work/one.zip" "$work/one/system.img"
"$work/archive_signer_bench" package "$in/META-INF.zip" "$work/four.zip" "$work/four"/part*.img
rm -rf "$work/one" "$work/four"

seconds() { /usr/bin/time -f %e -o "$work/t" "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; exit 1; }; cat "$work/t"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for case in one four; do
  pkg=$work/$case.zip
  : > "$work/java.times"; : > "$work/native.times"; : > "$work/parallel.times"
  for ((r = 1; r <= rounds; r++)); do
    (cd "$in" && seconds "$java" -jar -Xms32m -Xmx512m "$jar" -w testkey.x509.pem testkey.pk8 "$pkg" "$work/java.zip") \
      >> "$work/java.times"
    seconds "$work/archive_signer_bench" sign native "$in/testkey.x509.pem" "$in/testkey.pk8" "$pkg" "$work/native.zip" \
      >> "$work/native.times"
    seconds "$work/archive_signer_bench" sign native-parallel "$in/testkey.x509.pem" "$in/testkey.pk8" "$pkg" \
      "$work/parallel.zip" >> "$work/parallel.times"
  done
  cmp -s "$work/java.zip" "$work/native.zip" || { echo "native and Java outputs differ ($case)" >&2; exit 1; }
  unzip -tq "$work/parallel.zip" >/dev/null || { echo "the native-parallel output does not unzip ($case)" >&2; exit 1; }
  j=$(median < "$work/java.times"); n=$(median < "$work/native.times"); p=$(median < "$work/parallel.times")
  bench_measure "$work/mem" "$work/archive_signer_bench" sign native "$in/testkey.x509.pem" "$in/testkey.pk8" "$pkg" \
    "$work/native.zip" >/dev/null
  rss=$(awk -F': ' '/Maximum resident/ { printf "%.0f", $2 / 1024 }' "$work/mem")
  entries=$([ $case = one ] && echo "1 entry" || echo "4 entries")
  printf '%s MiB, %s: java %ss, native %ss (%.2f x), native-parallel %ss (%.2f x), native peak %s MiB\n' \
    "$mib" "$entries" "$j" "$n" "$(echo "$n / $j" | bc -l)" "$p" "$(echo "$p / $j" | bc -l)" "$rss"
done
