#!/usr/bin/env bash
# Builds vistrec and runs every test twice: a plain build, then under AddressSanitizer and
# UndefinedBehaviorSanitizer. Integration tests start their own Xvfb (and sound server).
#   scripts/test.sh            both runs
#   scripts/test.sh --plain    the plain run only
#   scripts/test.sh --tsan     a ThreadSanitizer run of the unit and integration tests
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
MODE=${1:-all}

scripts/install-deps.sh

JOBS=$(nproc)
# Compiler results are cached by ccache under paths relative to the checkout, so a fresh clone
# on a machine that built vistrec before compiles only what changed.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
fi
run_suite() {  # build dir, cmake options...
  local dir=$1; shift
  echo "=== build $dir ($*)"
  cmake -S "$ROOT" -B "$ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" > "$ROOT/$dir.cmake.log" 2>&1 \
    || { cat "$ROOT/$dir.cmake.log"; return 1; }
  cmake --build "$ROOT/$dir" -j"$JOBS"
  echo "=== test $dir"
  (cd "$ROOT/$dir" && ctest --output-on-failure --timeout 600 -LE bench)
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-suppressions=$ROOT/tests/tsan.supp:halt_on_error=0:second_deadlock_stack=1}

case "$MODE" in
  all)
    run_suite build
    run_suite build-asan -DVISTREC_ASAN=ON
    ;;
  --plain) run_suite build ;;
  --asan) run_suite build-asan -DVISTREC_ASAN=ON ;;
  --tsan) run_suite build-tsan -DVISTREC_TSAN=ON ;;
  *) echo "usage: $0 [--plain|--asan|--tsan]" >&2; exit 2 ;;
esac
