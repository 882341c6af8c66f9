#!/usr/bin/env bash
# Archives past the 4 GiB marks, native against Java's signapk.jar -w: too
# large and too slow for the test suite, run by hand before a release.
#   1. `tarnel-cli signapk -w` on an input with a stored entry of more than
#      4 GiB (zip64 sizes in its local header) and a deflated entry of more
#      than 4 GiB (zip64 sizes in its data descriptor and its directory
#      record), so that later entries start past 4 GiB (zip64 offsets and
#      end records).
#   2. The Make run's one-pass signer on the demo template and two images of
#      2.1 GiB of data that does not compress, every one below the 4 GiB
#      limit of an image but more than 4 GiB together, so that the second
#      starts past 4 GiB: Java signs the same entries, appended to the
#      template by Python's zipfile (the ZIP writer stops at 4 GiB).
# Each output must be byte-identical to Java's and pass `unzip -t`; the
# native signer's peak resident memory is printed.
#   bench/zip64_identity.sh
# BUILD_DIR (default build-bench) and BENCH_DIR (the scratch folder; needs
# about 30 GiB) can be set. Takes about ten minutes on two cores.
. "$(dirname "$0")/lib.sh"
bench_archive_signer
command -v python3 >/dev/null && command -v unzip >/dev/null || { echo "needs python3 and unzip" >&2; exit 1; }

# Mostly zeros (quick to deflate) with a different 1 MiB of data every
# 256 MiB, so that a misplaced block shows.
image() {  # file, size in MiB, seed
  truncate -s "${2}M" "$1"
  for ((at = 0; at < $2; at += 256)); do
    { openssl enc -aes-128-ctr -nosalt -pass "pass:$3-$at" -in /dev/zero 2>/dev/null || true; } |
      head -c 1048576 | dd of="$1" bs=1M seek="$at" conv=notrunc status=none
  done
}
signapk_java() {  # input, output
  (cd "$in" && "$java" -jar -Xms32m -Xmx512m "$jar" -w testkey.x509.pem testkey.pk8 "$1" "$2")
}
same() {  # what, java output, native output
  cmp "$2" "$3" || { echo "FAIL $1: native and Java outputs differ" >&2; exit 1; }
  unzip -tq "$3" >/dev/null || { echo "FAIL $1: unzip -t" >&2; exit 1; }
  echo "OK $1: $(stat -c %s "$3") bytes, identical to Java's, unzip -t passes"
}

echo "1. signapk -w on entries of more than 4 GiB"
image "$work/stored.bin" 4200 stored
image "$work/deflated.bin" 4200 deflated
python3 - "$work/big.zip" "$work/stored.bin" "$work/deflated.bin" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    z.writestr('META-INF/com/android/metadata', 'ota-type=BLOCK\n')
    z.write(sys.argv[2], 'a_stored.bin', compress_type=zipfile.ZIP_STORED)
    z.write(sys.argv[3], 'b_deflated.bin', compress_type=zipfile.ZIP_DEFLATED)
    z.writestr('c_after.txt', 'an entry past 4 GiB\n' * 100)
EOF
rm "$work/stored.bin" "$work/deflated.bin"
signapk_java "$work/big.zip" "$work/big.java.zip"
bench_measure "$work/mem" "$cli_bin" signapk -w "$in/testkey.x509.pem" "$in/testkey.pk8" "$work/big.zip" \
  "$work/big.native.zip"
same "signapk -w" "$work/big.java.zip" "$work/big.native.zip"
rm "$work/big.zip" "$work/big.java.zip" "$work/big.native.zip"

echo "2. the one-pass signer, more than 4 GiB of images"
for name in system vendor; do
  { openssl enc -aes-128-ctr -nosalt -pass "pass:$name" -in /dev/zero 2>/dev/null || true; } |
    head -c $((2150 * 1048576)) >"$work/$name.img"
done
cp "$in/META-INF.zip" "$work/package.zip"
python3 - "$work/package.zip" "$work/system.img" "$work/vendor.img" <<'EOF'
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'a') as z:
    for path in sys.argv[2:]:
        z.write(path, os.path.basename(path), compress_type=zipfile.ZIP_DEFLATED)
EOF
signapk_java "$work/package.zip" "$work/package.java.zip"
rm "$work/package.zip"
bench_measure "$work/mem" "$work/archive_signer_bench" sign native "$in/testkey.x509.pem" "$in/testkey.pk8" \
  "$in/META-INF.zip" "$work/package.native.zip" "$work/system.img" "$work/vendor.img"
same "one pass" "$work/package.java.zip" "$work/package.native.zip"
