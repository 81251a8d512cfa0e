#!/usr/bin/env bash
# A long recording of the flashing test scene with sound (audio mode 1, a click played into the
# playback sink at every flash, its play time logged) on a private Xvfb and PulseAudio: RSS, CPU and file size every 10 s, frames
# delivered/due, frame intervals and the A/V offset over the whole file. Figures in
# DIR/summary.txt; plots DIR/rss.png, DIR/frame-intervals.png, DIR/avsync.png.
#   scripts/soak.sh [MINUTES (60)] [DIR (docs/soak)]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-60}
dir=$(realpath -m "${2:-docs/soak}")
mkdir -p "$dir"
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vistrec_soak >/dev/null
# FFmpeg's own messages (the hardware encoders it tries first) go to a log.
build/tools/soak/vistrec_soak soak "$seconds" "$dir" 2>"$dir/run.log"
rm -f "$dir/soak.mp4"

gnuplot <<PLOT
set terminal pngcairo size 1000,500 font ",10"
set grid
set xlabel "recording time (s)"
set output "$dir/rss.png"
set title "Host RSS and CPU, sampled every 10 s ($minutes min, 1920x1080 at 20 fps, audio mode 1)"
set ylabel "RSS (MB)"
set y2label "CPU (%)"
set ytics nomirror
set y2tics
plot "$dir/rss.dat" using 1:2 with linespoints title "RSS", \
     "" using 1:3 axes x1y2 with lines title "CPU"
unset y2label
unset y2tics
set ytics mirror
set output "$dir/frame-intervals.png"
set title "Interval between consecutive frames of the file (50 ms due)"
set ylabel "interval (ms)"
plot "$dir/frames.dat" using 1:2 with points pt 7 ps 0.3 title "frame interval"
set output "$dir/avsync.png"
set title "A/V offset: each click in the file against the picture of its play time (positive: sound later)"
set ylabel "offset (ms)"
plot "$dir/avsync.dat" using 1:2 with points pt 7 ps 0.4 title "offset", \
     "" using 1:3 with points pt 6 ps 0.4 title "click minus flash in the file (flash lags up to a frame)"
PLOT
echo "plots: $dir/rss.png $dir/frame-intervals.png $dir/avsync.png"
