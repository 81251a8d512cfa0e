#!/usr/bin/env bash
# Records 3 s with the command-line recorder on an Xvfb that lacks one X extension at a time
# (MIT-SHM, RANDR, DAMAGE, and none for comparison) and prints, per server, the recorder's exit
# status, what it said, and what the file holds (decoded with ffprobe).
#   scripts/faults-xext.sh [BUILD_DIR]     (default: build)
set -uo pipefail
cd "$(dirname "$0")/.."
CLI=${1:-build}/tools/vistrec/vistrec
[ -x "$CLI" ] || { echo "no $CLI: build the vistrec target first" >&2; exit 2; }
WORK=$(mktemp -d /tmp/vistrec-xext-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
export PULSE_SERVER=unix:/nonexistent/vistrec-no-sound  # video with a silent track

printf '| X server without | exit | recorder says | file holds |\n|---|---|---|---|\n'
failed=0
for ext in none MIT-SHM RANDR DAMAGE; do
  args=(-screen 0 1280x720x24 -nolisten tcp -displayfd 3)
  [ "$ext" != none ] && args+=(-extension "$ext")
  Xvfb "${args[@]}" 3>"$WORK/display" >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
  export DISPLAY=:$(head -1 "$WORK/display")
  out="$WORK/$ext.mp4"
  timeout 60 "$CLI" --duration 3 --fps 20 "$out" >"$WORK/$ext.log" 2>&1
  status=$?
  kill "$xvfb"; wait "$xvfb" 2>/dev/null
  : >"$WORK/display"
  said=$(grep -v '^  \|^recorded' "$WORK/$ext.log" | grep -v 'sound server\|voluMem' | head -2 | tr '\n' ' ')
  held=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=nb_read_frames:format=duration -of default=nw=1:nk=1 "$out" 2>/dev/null |
    tr '\n' ' ')
  printf '| %s | %s | %s | %s |\n' "$ext" "$status" "${said:-nothing}" \
    "${held:+frames and seconds: $held}"
  # Every server must give a file that plays for about the time asked.
  awk -v d="$(echo "$held" | awk '{print $2}')" 'BEGIN { exit !(d + 0 >= 2.5) }' || failed=1
done
exit $failed
