#!/usr/bin/env bash
# Cross-builds the libraries the Windows DLL links against, from Debian 12's own source packages
# (apt-get source), with mingw-w64 (posix threads), into a cache outside the repository:
#
#   scripts/build-windows-deps.sh x86_64|i686
#
# Each library is built into a cache folder of its own outside the repository,
# $VISTREC_WIN_CACHE (default /var/cache/vistrec-win)/<arch>/<library>-<key>, where the key hashes
# its recipe below, the toolchain, its source version and what it builds against: a second run
# reuses it, a changed recipe or a new Debian upload rebuilds that library (and those built
# against it) only. An interrupted run resumes with the first unfinished library. The last line
# printed is the prefix of the whole set, <cache>/<arch>-<key> (bin/ holds the DLLs, lib/ the
# import libraries and .pc files).
#
# Only what the recorder uses is built: FFmpeg with libx264 and the AAC encoder, the decoders and
# demuxers of the sound files it reads (MP3, AAC, Vorbis, Opus, FLAC, PCM), the MP4/MOV muxer,
# libswscale, libswresample and the filters of the audio mixer; x264; LAME; FreeType without its
# optional codecs; jsoncpp; log4cplus; speexdsp; libyuv.
#
# Cold builds (-j2, two chains side by side) measured in processor seconds, which a machine of
# its own needs divided by its cores (i686; x86_64 alike): x264 123, FFmpeg 312, LAME 69,
# log4cplus 171, speexdsp 39, libyuv 23; FreeType and jsoncpp were timed by the wall clock only
# (733 s and 234 s at a load of 15, against 295 s for LAME's 69 processor seconds): about 15
# minutes of processor time in all, so 8 to 10 minutes on an idle 2-core machine. On this
# machine, shared with other builds at a load of 10 to 20, the x86_64 set took 83 minutes, and
# x264 then FFmpeg for i686 50. With a warm cache the script only checks the stamps (2 s).
# Needs root for the source index and the packages (scripts/install-windows-deps.sh).
set -euo pipefail

ARCH=${1:-x86_64}
case "$ARCH" in
  x86_64 | i686) ;;
  *) echo "usage: $0 x86_64|i686" >&2; exit 2 ;;
esac
HOST=$ARCH-w64-mingw32
JOBS=${JOBS:-2}
CACHE=${VISTREC_WIN_CACHE:-/var/cache/vistrec-win}
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
TOOLCHAIN=$REPO/cmake/mingw-$ARCH.cmake

# Source package -> the version Debian 12 offers now (the newest of its suites).
SOURCES=(x264 ffmpeg lame freetype libjsoncpp log4cplus speexdsp libyuv)

# The source index: apt-get source needs deb-src entries for the suites of the binary packages.
SRC_LIST=/etc/apt/sources.list.d/vistrec-src.sources
if [ ! -f "$SRC_LIST" ]; then
  cat >"$SRC_LIST" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt-get update -qq
fi

declare -A VERSION
for pkg in "${SOURCES[@]}"; do
  VERSION[$pkg]=$(apt-cache showsrc "$pkg" | awk '/^Version:/{print $2}' | sort -V | tail -1)
  if [ -z "${VERSION[$pkg]}" ]; then
    echo "no source package $pkg (is the deb-src index there? apt-get update)" >&2
    exit 1
  fi
done

SRCDIR=$CACHE/src
PKGROOT=$CACHE/$ARCH
WORK=$CACHE/work/$ARCH
mkdir -p "$SRCDIR" "$PKGROOT" "$WORK"

# The extracted, patched source of a package, fetched on first use into the shared source
# folder. Prints its directory.
fetch() {
  # The folder name leaves out the epoch: make cannot take a colon in a path.
  local pkg=$1 ver=${VERSION[$1]} dir=$SRCDIR/$1_${VERSION[$1]//:/_}
  if [ ! -f "$dir/.extracted" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$pkg=$ver" >/dev/null 2>&1 ||
      { echo "apt-get source $pkg=$ver failed" >&2; exit 1; })
    touch "$dir/.extracted"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1
}

# A fresh copy of a package's source to build in (several build systems here only build in
# their source tree). Prints its directory.
fresh_tree() {
  local src
  src=$(fetch "$1")
  rm -rf "$WORK/$1"
  cp -a "$src" "$WORK/$1"
  echo "$WORK/$1"
}

# Each library installs into a prefix of its own, $P, set by run_build below.
export PKG_CONFIG_PATH=
CROSS_ENV=(CC="$HOST-gcc-posix" CXX="$HOST-g++-posix" AR="$HOST-ar" RANLIB="$HOST-ranlib"
  STRIP="$HOST-strip" WINDRES="$HOST-windres" RC="$HOST-windres")

cmake_build() {  # source dir, extra cmake args...
  local src=$1
  shift
  cmake -S "$src" -B "$src/_build" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$P" -DBUILD_SHARED_LIBS=ON "$@"
  cmake --build "$src/_build" -j"$JOBS"
  cmake --install "$src/_build"
}

autotools_build() {  # source dir, extra configure args...
  local src=$1
  shift
  (cd "$src" && env "${CROSS_ENV[@]}" ./configure --host="$HOST" --prefix="$P" \
    --enable-shared --disable-static "$@" &&
    make -j"$JOBS" >/dev/null && make install)
}

build_x264() {
  # 8-bit 4:2:0 only, what the recorder encodes (half the code of Debian's all-depth build).
  local src
  src=$(fresh_tree x264)
  (cd "$src" && ./configure --host="$HOST" --cross-prefix="$HOST-" --prefix="$P" \
    --enable-shared --bit-depth=8 --chroma-format=420 --disable-cli --disable-opencl --disable-lavf --disable-swscale \
    --disable-ffms --disable-gpac --disable-lsmash &&
    make -j"$JOBS" >/dev/null && make install)
}

build_ffmpeg() {
  local src
  src=$(fresh_tree ffmpeg)
  local arch=$ARCH
  [ "$ARCH" = i686 ] && arch=x86
  (cd "$src" && ./configure --prefix="$P" --target-os=mingw32 --arch="$arch" \
    --cross-prefix="$HOST-" --cc="$HOST-gcc-posix" --cxx="$HOST-g++-posix" \
    --pkg-config=pkg-config --enable-cross-compile \
    --enable-shared --disable-static --enable-gpl --enable-libx264 --enable-w32threads \
    --disable-autodetect --disable-programs --disable-doc --disable-network --disable-debug \
    --disable-everything --disable-avdevice --disable-postproc \
    --enable-encoder=libx264,aac,pcm_s16le \
    --enable-decoder=mp3,mp3float,aac,aac_latm,vorbis,opus,flac,pcm_s16le,pcm_s16be,pcm_s24le,pcm_s32le,pcm_f32le,pcm_u8 \
    --enable-muxer=mp4,mov,ipod \
    --enable-demuxer=mp3,aac,ogg,flac,wav,mov \
    --enable-parser=mpegaudio,aac,vorbis,opus,flac,h264 \
    --enable-bsf=aac_adtstoasc \
    --enable-protocol=file \
    --enable-filter=abuffer,abuffersink,amix,aformat,aresample,anull,buffer,buffersink,format,scale,null \
    --enable-swscale --enable-swresample --enable-avfilter &&
    make -j"$JOBS" >/dev/null && make install)
}

build_lame() {
  # The export list names lame_init_old, which the library no longer has (mingw's linker, unlike
  # the ELF one, refuses to export a missing symbol).
  local src
  src=$(fresh_tree lame)
  sed -i '/^lame_init_old$/d' "$src/include/libmp3lame.sym"
  autotools_build "$src" --disable-frontend --disable-gtktest --disable-analyzer-hooks
  # Debian's patch that adds a pkg-config file changes configure.in, not the configure script
  # the source ships: the file is made from its template here (with the folder above lame/
  # too, where <lame/lame.h> is found).
  local version
  version=$(sed -n "s/^PACKAGE_VERSION='\(.*\)'$/\1/p" "$src/configure")
  sed -e "s|@prefix@|$P|" -e 's|@exec_prefix@|${prefix}|' -e 's|@libdir@|${prefix}/lib|' \
    -e 's|@includedir@|${prefix}/include|' -e 's|@PACKAGE_NAME@|lame|' \
    -e "s|@PACKAGE_VERSION@|$version|" -e 's|^Cflags: .*|& -I${includedir}|' \
    "$src/libmp3lame/lame.pc.in" >"$P/lib/pkgconfig/lame.pc"
}

build_freetype() {
  autotools_build "$(fresh_tree freetype)" --with-zlib=no --with-bzip2=no --with-png=no \
    --with-harfbuzz=no --with-brotli=no
}

build_libjsoncpp() {
  cmake_build "$(fresh_tree libjsoncpp)" -DJSONCPP_WITH_TESTS=OFF \
    -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF -DBUILD_STATIC_LIBS=OFF \
    -DBUILD_OBJECT_LIBS=OFF
}

build_log4cplus() {
  # The narrow-character build, as on Linux: log lines are UTF-8, and so are file names. The
  # narrow build would hand its file names to the C runtime, which reads them in the ANSI code
  # page: a log beside a program in a folder named outside that code page could not be opened.
  # Its file appenders open, rename and remove through the wide-character calls instead, with
  # the name converted from UTF-8.
  local src
  src=$(fresh_tree log4cplus)
  local f=$src/src/fileappender.cxx
  sed -i '/^#include <cerrno>$/r /dev/stdin' "$f" <<'PATCH'
#if defined (_WIN32) && ! defined (UNICODE)
#include <codecvt>
#include <locale>
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
namespace {
std::wstring utf8_file_name (std::string const & name)
{
    try {
        return std::wstring_convert<std::codecvt_utf8_utf16<wchar_t>> ().from_bytes (name);
    } catch (std::range_error const &) {
        return std::wstring ();
    }
}
}
#undef LOG4CPLUS_FSTREAM_PREFERED_FILE_NAME
#define LOG4CPLUS_FSTREAM_PREFERED_FILE_NAME(X) utf8_file_name (X)
#define LOG4CPLUS_WIDE_FILE_NAME(X) utf8_file_name (X)
#else
#define LOG4CPLUS_WIDE_FILE_NAME(X) (X)
#endif
PATCH
  sed -i -e 's/^#if defined (UNICODE) && defined (_WIN32)$/#if defined (_WIN32)/' \
    -e 's/_wrename (src.c_str (), target.c_str ())/_wrename (LOG4CPLUS_WIDE_FILE_NAME (src).c_str (), LOG4CPLUS_WIDE_FILE_NAME (target).c_str ())/' \
    -e 's/_wremove (src.c_str ())/_wremove (LOG4CPLUS_WIDE_FILE_NAME (src).c_str ())/' "$f"
  [ "$(grep -c 'WIDE_FILE_NAME (' "$f")" -eq 2 ] || { echo "log4cplus: file name patch did not apply" >&2; return 1; }
  # No thread pool (it serves asynchronous appenders only): its threads would be joined while
  # the DLL is unloaded by ExitProcess, which has ended them already, and the process would hang.
  cmake_build "$src" -DLOG4CPLUS_BUILD_TESTING=OFF -DWITH_UNIT_TESTS=OFF \
    -DLOG4CPLUS_BUILD_LOGGINGSERVER=OFF -DUNICODE=OFF -DLOG4CPLUS_ENABLE_DECORATED_LIBRARY_NAME=OFF \
    -DLOG4CPLUS_ENABLE_THREAD_POOL=OFF
}

build_speexdsp() {
  autotools_build "$(fresh_tree speexdsp)" --disable-examples
}

build_libyuv() {
  # The static library alone, linked into vistrec.dll: its install rules also install the
  # conversion tools under their Linux names, and the tools would want libjpeg.
  local src
  src=$(fresh_tree libyuv)
  cmake -S "$src" -B "$src/_build" -G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON
  cmake --build "$src/_build" -j"$JOBS" --target yuv
  cp "$src/_build/libyuv.a" "$P/lib/"
  cp -r "$src/include/." "$P/include/"
}

# Libraries whose prefix another one builds against.
declare -A NEEDS=([ffmpeg]=x264)
declare -A KEY

# A library's key: its recipe (the function that builds it and the helpers), the toolchain file
# and compiler, its source version and the keys of what it builds against.
key_of() {
  {
    declare -f "build_$1" fresh_tree cmake_build autotools_build
    cat "$TOOLCHAIN" "$REPO/cmake/mingw-common.cmake"
    "$HOST-gcc-posix" --version | head -1
    echo "$1 ${VERSION[$1]}"
    for dep in ${NEEDS[$1]:-}; do echo "$dep ${KEY[$dep]}"; done
  } | sha256sum | cut -c1-16
}
for pkg in "${SOURCES[@]}"; do KEY[$pkg]=$(key_of "$pkg"); done

# Builds one library unless its prefix is complete already.
run_build() {
  local pkg=$1 rc dep lock wall user sys
  P=$PKGROOT/$pkg-${KEY[$pkg]}
  [ -f "$P/.done" ] && return 0
  # Another run building the same library: wait for it and take its result.
  exec {lock}>"$P.lock"
  flock "$lock"
  [ -f "$P/.done" ] && return 0
  rm -rf "$P"
  mkdir -p "$P/bin" "$P/lib/pkgconfig" "$P/include"
  PKG_CONFIG_LIBDIR=$P/lib/pkgconfig
  for dep in ${NEEDS[$pkg]:-}; do
    PKG_CONFIG_LIBDIR=$PKG_CONFIG_LIBDIR:$PKGROOT/$dep-${KEY[$dep]}/lib/pkgconfig
  done
  export PKG_CONFIG_LIBDIR VISTREC_WIN_PREFIX=$P
  echo "building $pkg ${VERSION[$pkg]} for $HOST" >&2
  # Wall-clock and processor seconds: on a shared machine the wall clock says more about the
  # other builds than about this one; the processor time is what a machine of its own needs
  # (divided by its cores).
  local TIMEFORMAT='%0R %0U %0S' timing
  set +e
  timing=$({ time { (set -e; "build_$pkg") >"$WORK/$pkg.log" 2>&1; }; } 2>&1)
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    tail -40 "$WORK/$pkg.log" >&2
    echo "building $pkg failed (whole log: $WORK/$pkg.log)" >&2
    return 1
  fi
  read -r wall user sys <<<"$timing"
  echo "$pkg ${VERSION[$pkg]} $wall s, processor $((user + sys)) s" >"$P/build-time.txt"
  echo "  $pkg: $wall s, processor $((user + sys)) s" >&2
  rm -rf "$WORK/$pkg"
  touch "$P/.done"
  exec {lock}>&-
}

run_chain() {
  local pkg
  # Not "run_build || ...": errexit would be off inside the build steps.
  for pkg in "$@"; do run_build "$pkg"; done
}

# Two chains side by side: FFmpeg builds against x264; the others need nothing of each other.
total_start=$(date +%s)
run_chain x264 ffmpeg &
first=$!
run_chain lame freetype libjsoncpp log4cplus speexdsp libyuv &
second=$!
failed=0
wait $first || failed=1
wait $second || failed=1
[ $failed -eq 0 ] || exit 1

# The whole set, assembled from the libraries' prefixes with hard links: bin/ holds every DLL
# (the compiler's runtime DLLs too), lib/ the import libraries and .pc files, include/ headers.
ALL_KEY=$(for pkg in "${SOURCES[@]}"; do echo "$pkg ${KEY[$pkg]}"; done | sha256sum | cut -c1-16)
PREFIX=$CACHE/$ARCH-$ALL_KEY
if [ ! -f "$PREFIX/.done" ]; then
  rm -rf "$PREFIX"
  mkdir -p "$PREFIX/bin"
  for pkg in "${SOURCES[@]}"; do
    for dir in bin include lib share; do
      [ -d "$PKGROOT/$pkg-${KEY[$pkg]}/$dir" ] && cp -al "$PKGROOT/$pkg-${KEY[$pkg]}/$dir" "$PREFIX/"
    done
    cat "$PKGROOT/$pkg-${KEY[$pkg]}/build-time.txt"
  done >"$PREFIX/build-times.txt"
  for dll in libwinpthread-1.dll libstdc++-6.dll libgcc_s_seh-1.dll libgcc_s_dw2-1.dll; do
    found=$("$HOST-gcc-posix" -print-file-name="$dll")
    [ -f "$found" ] || found=$(find "/usr/$HOST" "/usr/lib/gcc/$HOST" -name "$dll" 2>/dev/null | head -1)
    if [ -n "$found" ] && [ -f "$found" ]; then cp "$found" "$PREFIX/bin/"; fi
  done
  touch "$PREFIX/.done"
fi
echo "dependencies ready in $(($(date +%s) - total_start)) s" >&2
echo "$PREFIX"
