#!/usr/bin/env bash
# Records a 5-second demo MP4 of the screen with the vistrec command-line recorder.
# On a machine without a display it starts a virtual one (Xvfb) showing the animated test
# scene, and without a sound server a private one playing a test tone; it records that and
# stops them again. Prints what it wrote.
#   scripts/demo.sh [output.mp4]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
OUT=$(realpath -m "${1:-$ROOT/demo.mp4}")

scripts/install-deps.sh
cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$ROOT/build.cmake.log" 2>&1 \
  || { cat "$ROOT/build.cmake.log"; exit 1; }
cmake --build "$ROOT/build" -j"$(nproc)" --target vistrec_cli vistrec-testscene

CLI="$ROOT/build/tools/vistrec/vistrec"
SCENE="$ROOT/build/tools/testscene/vistrec-testscene"
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  # Pick a free display number and start a virtual screen with the test scene on it.
  N=90
  while [ -e "/tmp/.X11-unix/X$N" ] || [ -e "/tmp/.X$N-lock" ]; do N=$((N + 1)); done
  Xvfb ":$N" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
  PIDS+=($!)
  export DISPLAY=":$N"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  "$SCENE" --fps 30 >/dev/null 2>&1 &
  PIDS+=($!)
  sleep 0.5
  echo "Started a virtual display $DISPLAY with the animated test scene."
fi

if ! pactl info >/dev/null 2>&1; then
  # No sound server: start a private one whose default playback device plays a test tone, so
  # the demo has sound (the recorder records what the playback device plays).
  RUNDIR=$(mktemp -d)
  chmod 700 "$RUNDIR"
  export XDG_RUNTIME_DIR="$RUNDIR" PULSE_RUNTIME_PATH="$RUNDIR/pulse"
  cat > "$RUNDIR/default.pa" <<'PA'
load-module module-native-protocol-unix
load-module module-null-sink sink_name=demo_out
load-module module-null-sink sink_name=demo_micsink
load-module module-remap-source source_name=demo_mic master=demo_micsink.monitor
set-default-sink demo_out
set-default-source demo_mic
PA
  pulseaudio -n -F "$RUNDIR/default.pa" --daemonize=no --exit-idle-time=-1 --system=false \
    >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  # A null sink delivers its first sound late unless someone is reading its monitor.
  pacat --record -d demo_out.monitor >/dev/null 2>&1 &
  PIDS+=($!)
  pacat --record -d demo_micsink.monitor >/dev/null 2>&1 &
  PIDS+=($!)
  sox -q -n -r 48000 -c 2 "$RUNDIR/tone.wav" synth 8 sine 440 vol 0.2
  sleep 0.5
  paplay -d demo_out "$RUNDIR/tone.wav" >/dev/null 2>&1 &
  PIDS+=($!)
  echo "Started a private sound server playing a 440 Hz test tone."
fi

"$CLI" --duration 5 --fps 20 --scale 1.0 "$OUT"
echo
echo "Wrote $OUT:"
ffprobe -v error -show_entries format=duration,size:stream=codec_name,width,height,avg_frame_rate,nb_frames \
  -of default=noprint_wrappers=1 "$OUT"
