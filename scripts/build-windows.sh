#!/usr/bin/env bash
# Builds vistrec.dll, nuvra.dll and the Windows test programs with mingw-w64:
#
#   scripts/build-windows.sh [x86_64] [i686]      (default: x86_64)
#
# The libraries it links against come from scripts/build-windows-deps.sh (cross-built from
# Debian's source packages into a cache, reused by later runs). For each architecture the build
# is in build-win-<arch>/ and the DLL with every DLL it needs beside it in
# build-win-<arch>/dist/; the last line printed is the x86_64 folder (or the only one built).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
ARCHES=("$@")
[ ${#ARCHES[@]} -gt 0 ] || ARCHES=(x86_64)
JOBS=${JOBS:-2}

last=""
for arch in "${ARCHES[@]}"; do
  prefix=$("$HERE/build-windows-deps.sh" "$arch" | tail -1)
  build=$REPO/build-win-$arch
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH= VISTREC_WIN_PREFIX=$prefix
  cmake -S "$REPO" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$JOBS" --target vistrec nuvra vistrec_c_host \
    vistrec_win_platform_test
  dist=$build/dist
  rm -rf "$dist"
  mkdir -p "$dist/log"
  cp "$build"/src/*.dll "$build"/src/*.exe "$dist/"
  cp "$prefix"/bin/*.dll "$dist/"
  echo "$arch: $dist" >&2
  if [ "$arch" = x86_64 ] || [ -z "$last" ]; then last=$dist; fi
done
echo "$last"
