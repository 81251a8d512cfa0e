#!/bin/bash
# Makes docs/effects.png: a frame of a command-line recording with the click rings, the
# highlight and a line of text, on a private Xvfb. Needs a built build/tools/vistrec/vistrec,
# Xvfb, xdotool, xmessage and ffmpeg.
# Usage: scripts/make-effects-picture.sh [BUILD_DIR]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build}/tools/vistrec/vistrec
work=$(mktemp -d /tmp/vistrec-effects-XXXXXX)
display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 800x450x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$display PULSE_SERVER="unix:$work/none"
sleep 1
xmessage -geometry 800x450+0+0 -bg '#28303c' -fg '#d0d8e0' -buttons "" \
    "A ring where a button is pressed (orange: left, blue: right)" >/dev/null 2>&1 &
sleep 1
"$program" --duration 4 --click-effects --highlight --audio-mode 0 \
    --text "Recorded with vistrec: clicks shown" --text-pos 20,430 --text-color FFD040 \
    "$work/effects.mp4" >/dev/null 2>"$work/err.txt" &
recorder=$!
until grep -q "^vistrec: recording" "$work/err.txt"; do sleep 0.02; done
start=$(date +%s.%N)
sleep 1
xdotool mousemove 300 200
sleep 0.5
xdotool click 1
sleep 1
xdotool mousemove 520 260
sleep 0.4
xdotool click 3
clicked=$(date +%s.%N)
wait $recorder
# The right press's ring lasts one to six frames: of the frames around it, the bluest near the
# pointer.
at=$(awk -v a="$clicked" -v b="$start" 'BEGIN { print a - b - 0.3 }')
ffmpeg -v error -y -ss "$at" -i "$work/effects.mp4" -frames:v 20 "$work/frame%02d.png"
best=
most=-1
for f in "$work"/frame*.png; do
    blue=$(convert "$f" -crop 60x60+490+230 -format "%[fx:int(1000*(mean.b-mean.r))]" info:)
    if [ "$blue" -gt "$most" ]; then
        most=$blue
        best=$f
    fi
done
mkdir -p "$root/docs"
cp "$best" "$root/docs/effects.png"
ls -l "$root/docs/effects.png"
