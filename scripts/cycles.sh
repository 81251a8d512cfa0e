#!/usr/bin/env bash
# Start/stop cycles on one recorder, then create/record/delete cycles, on a private Xvfb and
# PulseAudio (audio mode 1): RSS, open descriptors, threads, shared memory and X resources after
# each cycle, the figures in DIR/summary.txt and DIR/cycles.png. Exits 1 when something grew.
# The C library keeps the stacks of ended threads (up to 40 MB) and a heap per thread for new
# threads to reuse: with them RSS rises by 4 to 10 MB over the first ~70 cycles and then stays,
# while the heap in use does not move. They are turned off here so that RSS shows only what
# vistrec holds; VISTREC_CYCLES_TUNABLES= (empty) runs with the C library's defaults.
#   scripts/cycles.sh [CYCLES (200)] [RECORD_MS (500)] [DIR (docs/cycles)]
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-200}
record_ms=${2:-500}
dir=$(realpath -m "${3:-docs/cycles}")
mkdir -p "$dir"

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vistrec_soak >/dev/null
status=0
# FFmpeg's own messages (the hardware encoders it tries first) go to a log.
GLIBC_TUNABLES=${VISTREC_CYCLES_TUNABLES-glibc.malloc.arena_max=1:glibc.pthread.stack_cache_size=0} \
  build/tools/soak/vistrec_soak cycles "$cycles" "$record_ms" "$dir" 2>"$dir/run.log" || status=$?

gnuplot <<PLOT
set terminal pngcairo size 1000,700 font ",10"
set output "$dir/cycles.png"
set multiplot layout 2,1 title "$cycles start/stop cycles on one recorder, then $cycles create/record/delete cycles"
set key outside right
set xlabel "cycle"
set ylabel "MB"
set grid
plot "$dir/cycles.dat" using (\$1 == 0 ? \$2 : 1/0):3 with lines title "RSS, start/stop", \
     "" using (\$1 == 1 ? \$2 : 1/0):3 with lines title "RSS, create/record/delete", \
     "" using (\$1 == 0 ? \$2 : 1/0):9 with lines title "heap in use, start/stop", \
     "" using (\$1 == 1 ? \$2 : 1/0):9 with lines title "heap in use, create/delete"
set ylabel "count"
set yrange [0:*]
set offsets 0, 0, graph 0.1, 0
plot "$dir/cycles.dat" using (\$1 == 0 ? \$2 : 1/0):4 with lines title "fds, start/stop", \
     "" using (\$1 == 1 ? \$2 : 1/0):4 with lines title "fds, create/delete", \
     "" using (\$1 == 0 ? \$2 : 1/0):5 with lines title "threads, start/stop", \
     "" using (\$1 == 1 ? \$2 : 1/0):5 with lines title "threads, create/delete", \
     "" using (\$1 == 0 ? \$2 : 1/0):6 with lines title "shm, start/stop", \
     "" using (\$1 == 1 ? \$2 : 1/0):6 with lines title "shm, create/delete", \
     "" using 2:8 with lines title "X resources"
unset multiplot
PLOT
echo "plot: $dir/cycles.png"
exit $status
