#!/usr/bin/env bash
# Installs the Debian 12 packages the Windows build and its Wine tests need (the Linux build does
# not): mingw-w64 with the posix thread model for x86_64 and i686, nasm for x264's and FFmpeg's
# assembly, wine64 to run the x86_64 programs, dpkg-dev for apt-get source, and Clang, LLD and
# llvm-dlltool for the test host built for the Microsoft ABI. Needs root.
set -euo pipefail

PACKAGES=(
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
  gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix
  nasm dpkg-dev cmake pkg-config make wine64 xvfb ffmpeg
  clang lld llvm
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
