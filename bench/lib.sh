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
  cmake --build "$build" --target tarnel_core >/dev/null
  work=$(mktemp -d "${BENCH_DIR:-/tmp}/tarnel-bench-XXXXXX")
  trap 'rm -rf "$work"' EXIT
  "${CXX:-g++}" -std=c++20 -O2 -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED -D_FILE_OFFSET_BITS=64 \
    -I "$root/src" "$root/bench/$driver.cpp" "$build/libtarnel_core.a" \
    -lcrypto -lz -ltinyxml2 -lp11-kit -o "$work/$driver"
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
