#!/usr/bin/env bash
# Checks the installable library on a built tree (default: build, as scripts/test.sh leaves it):
#   1. `cmake --install` into a fresh prefix: the files, the SONAME, `vistrec --version`;
#   2. the example host (examples/host) built against that prefix with pkg-config and with
#      find_package, each run on a private Xvfb to record 2 s;
#   3. the installed command-line recorder records 2 s;
#   4. the Debian package (cpack): its contents, then, as root, `dpkg -i`, a recording by
#      /usr/bin/vistrec and the example host built against the system's copy, `dpkg --purge`.
#   scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(realpath "${1:-build}")
WORK=$(mktemp -d /tmp/vistrec-package-XXXXXX)
XVFB_PID=""
INSTALLED_DEB=""
cleanup() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
  if [ -n "$INSTALLED_DEB" ]; then dpkg --purge vistrec >/dev/null 2>&1 || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "package-check: FAIL: $*" >&2; exit 1; }
step() { echo "=== $* (at ${SECONDS} s)"; }
run_host() {  # program output: the library's FFmpeg messages go to a file, shown on failure
  "$@" >"$WORK/host.out" 2>&1 || { cat "$WORK/host.out"; fail "$*"; }
}

[ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target vistrec nuvra vistrec_cli vistrec-effect-icons >/dev/null

# A file of 1.5 to 3 s with an H.264 picture.
check_recording() {  # file
  [ -s "$1" ] || fail "$1 was not written"
  local codec duration
  codec=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$1")
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")
  [ "$codec" = h264 ] || fail "$1: video codec '$codec'"
  awk -v d="$duration" 'BEGIN { exit !(d >= 1.5 && d <= 3.0) }' || fail "$1: lasts $duration s"
  echo "    $(basename "$1"): h264, $duration s"
}

step "install into a fresh prefix"
PREFIX=$WORK/prefix
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
LIBDIR=$(dirname "$(find "$PREFIX" -name 'libvistrec.so.0' | head -1)")
[ -n "$LIBDIR" ] && [ "$LIBDIR" != . ] || fail "no libvistrec.so.0 under $PREFIX"
for f in "$PREFIX/include/vistrec/IRecordMp4.h" "$LIBDIR/libvistrec.so" "$LIBDIR/libnuvra.so" \
  "$PREFIX/bin/vistrec" "$LIBDIR/vistrec/mouseeffect/highlight.ico" \
  "$LIBDIR/vistrec/mouseeffect/clickEffect_R5.ico" "$PREFIX/share/man/man1/vistrec.1" \
  "$LIBDIR/pkgconfig/vistrec.pc" "$LIBDIR/cmake/vistrec/vistrecConfig.cmake"; do
  [ -e "$f" ] || fail "not installed: ${f#"$PREFIX"/}"
done
soname=$(objdump -p "$LIBDIR/libvistrec.so" | awk '/SONAME/ { print $2 }')
[ "$soname" = libvistrec.so.0 ] || fail "SONAME '$soname'"
exports=$(nm -D --defined-only "$LIBDIR/libvistrec.so" | awk '$2 == "T" { print $3 }' | sort | tr '\n' ' ')
[ "$exports" = "create_screen_h246_record create_screen_record get_desktop_size " ] ||
  fail "exports: $exports"
version=$("$PREFIX/bin/vistrec" --version)
echo "    $version; SONAME $soname; exports $exports"
[[ "$version" =~ ^vistrec\ [0-9]+\.[0-9]+\.[0-9]+\ \(commit\ [^\)]+\)$ ]] || fail "--version: $version"
MANWIDTH=80 man -l "$PREFIX/share/man/man1/vistrec.1" >/dev/null 2>&1 || fail "man page"

step "build the example host against the prefix"
export PKG_CONFIG_PATH=$LIBDIR/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++11 -Wall -Wextra -Werror examples/host/main.cpp $(pkg-config --cflags --libs vistrec) \
  -o "$WORK/host-pkgconfig"
cmake -S examples/host -B "$WORK/host-cmake" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/host-cmake" >/dev/null
unset PKG_CONFIG_PATH

step "record 2 s with each host and the installed recorder"
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$WORK/display")"
export PULSE_SERVER=unix:/nonexistent/vistrec-package-check  # a silent track, no real server
mkdir -p "$WORK/log" "$WORK/host-cmake/log"
LD_LIBRARY_PATH=$LIBDIR run_host "$WORK/host-pkgconfig" "$WORK/pkgconfig.mp4"
check_recording "$WORK/pkgconfig.mp4"
run_host "$WORK/host-cmake/vistrec-example-host" "$WORK/cmake.mp4"
check_recording "$WORK/cmake.mp4"
grep -q "vistrec $("$PREFIX/bin/vistrec" --version | cut -d' ' -f2-)" "$WORK/host-cmake/log/record.log" ||
  fail "the library's log has no version line"
"$PREFIX/bin/vistrec" --quiet --duration 2 "$WORK/cli.mp4" 2>/dev/null
check_recording "$WORK/cli.mp4"

step "Debian package"
(cd "$BUILD" && cpack -G DEB -B "$WORK/deb" >/dev/null)
DEB=$(ls "$WORK"/deb/vistrec_*.deb)
echo "    $(basename "$DEB"): $(du -k "$DEB" | cut -f1) KiB; depends: $(dpkg-deb -f "$DEB" Depends)"
contents=$(dpkg-deb -c "$DEB")
for f in ./usr/bin/vistrec ./usr/include/vistrec/IRecordMp4.h libvistrec.so.0.1.0 libnuvra.so \
  vistrec/mouseeffect/highlight.ico ./usr/share/man/man1/vistrec.1 pkgconfig/vistrec.pc \
  cmake/vistrec/vistrecTargets.cmake; do
  grep -q -- "$f" <<<"$contents" || fail "the package lacks $f"
done
if [ "$(id -u)" -ne 0 ]; then
  echo "    not root: dpkg -i skipped"
elif dpkg-query -W -f='${Status}' vistrec 2>/dev/null | grep -q "install ok installed"; then
  echo "    a vistrec package is installed already: dpkg -i skipped"
else
  dpkg -i "$DEB" >/dev/null
  INSTALLED_DEB=1
  [ "$(/usr/bin/vistrec --version)" = "$version" ] || fail "installed --version differs"
  /usr/bin/vistrec --quiet --duration 2 "$WORK/deb.mp4" 2>/dev/null
  check_recording "$WORK/deb.mp4"
  # shellcheck disable=SC2046
  c++ -std=c++11 examples/host/main.cpp $(pkg-config --cflags --libs vistrec) -o "$WORK/host-system"
  run_host "$WORK/host-system" "$WORK/system.mp4"
  check_recording "$WORK/system.mp4"
  dpkg --purge vistrec >/dev/null
  INSTALLED_DEB=""
  [ ! -e /usr/bin/vistrec ] || fail "/usr/bin/vistrec left after dpkg --purge"
  # Files and the package's own folders (the shared ones such as /usr/lib stay).
  leftovers=$(dpkg-deb -c "$DEB" | awk '{ print $6 }' | sed 's|^\.||' |
    grep -E 'vistrec|nuvra' | while read -r p; do
      if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
    done)
  [ -z "$leftovers" ] || fail "left after dpkg --purge: $leftovers"
  echo "    dpkg -i, a recording by /usr/bin/vistrec and a host on the system's copy, dpkg --purge: ok"
fi
echo "package-check: ok (${SECONDS} s)"
