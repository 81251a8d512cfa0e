#!/usr/bin/env bash
# Installs the Debian 12 packages vistrec builds, tests and runs with. Needs root (or sudo).
set -euo pipefail

PACKAGES=(
  build-essential cmake ccache pkg-config clang-format googletest libgtest-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev
  libx264-dev libmp3lame-dev liblog4cplus-dev libjsoncpp-dev libfreetype-dev libyuv-dev
  libspeexdsp-dev libpulse-dev libcli11-dev
  fonts-dejavu-core fonts-wqy-zenhei imagemagick
  libx11-dev libxext-dev libxfixes-dev libxrandr-dev libxdamage-dev libxi-dev
  xvfb x11-xserver-utils x11-utils xdotool pulseaudio pulseaudio-utils ffmpeg sox
  clang libclang-rt-14-dev dpkg-dev file man-db gnuplot-nox libxres-dev
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
