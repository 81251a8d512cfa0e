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

# The C++ test host built with Clang for the Microsoft ABI, linked to vistrec.dll through an
# import library made from vistrec.def; left out, with a line saying so, without Clang and LLD.
build_msvc_host() {  # dist folder
  local out=$1/vistrec_cpp_host.exe work=$REPO/build-win-x86_64/msvc-host
  if ! command -v clang++ >/dev/null || ! command -v lld-link >/dev/null ||
    ! command -v llvm-dlltool >/dev/null; then
    echo "no clang++, lld-link or llvm-dlltool: the Microsoft-ABI C++ host is not built" >&2
    return 0
  fi
  mkdir -p "$work"
  sed -e 's/ *=.*//' -e '/^;/d' "$REPO/platform/win32/vistrec.def" >"$work/vistrec.def"
  printf 'LIBRARY kernel32.dll\nEXPORTS\n' >"$work/kernel32.def"
  printf '  %s\n' GetStdHandle WriteFile GetCommandLineA Sleep GetProcessHeap HeapFree \
    ExitProcess >>"$work/kernel32.def"
  llvm-dlltool -m i386:x86-64 -d "$work/vistrec.def" -l "$work/vistrec.lib"
  llvm-dlltool -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"
  clang++ --target=x86_64-pc-windows-msvc -std=c++17 -O2 -Wall -Wextra -ffreestanding -fno-rtti \
    -fno-exceptions -I "$REPO/tests/windows/msvc" -I "$REPO/include" \
    -c "$REPO/tests/windows/cpp_host.cpp" -o "$work/cpp_host.obj"
  lld-link -nologo -entry:mainCRTStartup -subsystem:console -nodefaultlib "$work/cpp_host.obj" \
    "$work/vistrec.lib" "$work/kernel32.lib" -out:"$out"
}

last=""
for arch in "${ARCHES[@]}"; do
  prefix=$("$HERE/build-windows-deps.sh" "$arch" | tail -1)
  build=$REPO/build-win-$arch
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH= VISTREC_WIN_PREFIX=$prefix
  # Paths found in the dependency set are kept in the CMake cache: a new set (a changed recipe or
  # source version) starts from a fresh cache.
  if [ "$(cat "$build/deps-prefix.txt" 2>/dev/null)" != "$prefix" ]; then
    rm -f "$build/CMakeCache.txt"
  fi
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$REPO" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  echo "$prefix" >"$build/deps-prefix.txt"
  cmake --build "$build" -j"$JOBS" --target vistrec nuvra vistrec_c_host \
    vistrec_win_platform_test
  dist=$build/dist
  rm -rf "$dist"
  mkdir -p "$dist/log"
  cp "$build"/src/*.dll "$build"/src/*.exe "$dist/"
  cp "$prefix"/bin/*.dll "$dist/"
  if [ "$arch" = x86_64 ]; then build_msvc_host "$dist"; fi
  echo "$arch: $dist" >&2
  if [ "$arch" = x86_64 ] || [ -z "$last" ]; then last=$dist; fi
done
echo "$last"
