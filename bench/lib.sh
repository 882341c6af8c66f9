# Shared by the bench scripts: builds the core library (BUILD_DIR, default
# build-bench, Release), makes a scratch folder (BENCH_DIR, default /tmp) that
# is removed on exit, and compiles one bench driver against the core.
#   . "$(dirname "$0")/lib.sh"; bench_prepare <driver name>
# Afterwards: $root, $build, $work, and the driver at $work/<driver name>.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}

bench_prepare() {
  local driver=$1
  if [ ! -x /usr/bin/time ]; then
    echo "needs /usr/bin/time (Debian package 'time')" >&2
    exit 1
  fi
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_GUI=OFF \
      -DTARNEL_BUILD_TESTS=OFF >/dev/null
  fi
  cmake --build "$build" --target tarnel_verify tarnel_config tarnel_pipeline >/dev/null
  work=$(mktemp -d "${BENCH_DIR:-/tmp}/tarnel-bench-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  "${CXX:-g++}" -std=c++20 -O2 -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED -D_FILE_OFFSET_BITS=64 \
    -I "$root/src" "$root/bench/$driver.cpp" \
    "$build"/libtarnel_{verify,pipeline,boot,package,signing,config,common}.a \
    -lcrypto -lz -ltinyxml2 -lp11-kit -pthread -o "$work/$driver"
}

# Runs a command under /usr/bin/time -v and prints its elapsed time and peak memory.
bench_measure() {
  local report=$1
  shift
  /usr/bin/time -v "$@" 2>"$report" || {
    cat "$report" >&2
    exit 1
  }
  grep -E "Elapsed|Maximum resident" "$report"
}

# Builds the command line in the same build folder: $cli_bin, and $home, the
# program folder laid out beside it (Config, jre, BurnConfig.ini).
bench_cli() {
  cmake --build "$build" --target tarnel-cli >/dev/null
  cli_bin=$build/bin/tarnel-cli
  home=$build/bin/
}

# A demo workspace in folder $1 (key list, template archive, Android test keys).
bench_workspace() {
  "$cli_bin" demo "$1" >/dev/null
}

# Writes a partition table: bench_table <file> "<name>|<file type>|<flash>|<upgrade>|<unsigned file>"...
# (unsigned files relative to the table's folder).
bench_table() {
  local file=$1 row name type flash upgrade unsigned
  shift
  {
    echo '<?xml version="1.0" encoding="GB2312"?>'
    echo '<Tarnel_PartConfigs>'
    for row in "$@"; do
      IFS='|' read -r name type flash upgrade unsigned <<<"$row"
      echo "    <PartConfig Sel=\"1\" OutputName=\"$name\" FileType=\"$type\" FlashName=\"$flash\" Upgrade=\"$upgrade\" UnsignedFile=\"$unsigned\"/>"
    done
    echo '</Tarnel_PartConfigs>'
  } > "$file"
}

# The archive signer's driver, the command line, a demo workspace and the
# program folder's Java: $work/archive_signer_bench, $cli_bin, $in (the
# workspace's input folder), $java and $jar. Exits when Java is missing.
bench_archive_signer() {
  bench_prepare archive_signer_bench
  bench_cli
  bench_workspace "$work/ws"
  in=$work/ws/input
  jar=$home/Config/signapk.jar
  java=$home/jre/bin/java
  [ -x "$java" ] && [ -f "$jar" ] || { echo "needs Java and signapk.jar in $home" >&2; exit 1; }
}
