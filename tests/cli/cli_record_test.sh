#!/bin/bash
# The vistrec command line end to end on a private 1920x1080 Xvfb, files checked with ffprobe;
# no sound server is reachable, so recordings with sound say so and get a silent track.
# Usage: cli_record_test.sh VISTREC_PROGRAM
set -u
program=$1
work=$(mktemp -d /tmp/vistrec-cli-e2e-XXXXXX)
pids=()
failures=0
# A socket that does not exist, so that no sound server is reached whatever runs on this machine.
export PULSE_SERVER="unix:$work/no-sound-server"
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
out() { cat "$work/out.txt" "$work/err.txt"; }

# Runs the program; checks its exit status and, when given, a text in its standard error.
expect_status() {
    local want=$1 text=$2; shift 2
    "$program" "$@" >"$work/out.txt" 2>"$work/err.txt"; local got=$?
    [ "$got" = "$want" ] || fail "vistrec $*: exit $got, want $want ($(out))"
    grep -qF -- "$text" "$work/err.txt" || fail "vistrec $*: stderr lacks '$text': $(out)"
}

# Video stream facts of a file: "codec,width,height,frame rate,packets".
video_facts() {
    ffprobe -v error -select_streams v:0 -count_packets \
        -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_packets -of csv=p=0 "$1"
}
# The crf the encoder wrote into its settings record at the start of the stream.
encoder_crf() { grep -a -o "crf=[0-9.]*" "$1" | head -n 1; }

# Starts the program in the background and waits until it records (earlier signals could come too early).
start_recording() {
    "$program" "$@" >"$work/out.txt" 2>"$work/err.txt" & pid=$!
    for _ in $(seq 200); do grep -q "^vistrec: recording " "$work/err.txt" && return 0; sleep 0.1; done
    fail "the program did not start recording: $(out)"
}

expect_status 2 "--text-color: needs a colour RRGGBB" --text hi --text-color red "$work/a.mp4"
expect_status 2 "--font: cannot read '/nonexistent.ttf'" --text hi --font /nonexistent.ttf "$work/a.mp4"
DISPLAY= expect_status 1 "DISPLAY is not set" "$work/a.mp4"
DISPLAY=:1999 expect_status 1 "cannot open X display ':1999'" "$work/a.mp4"

# Xvfb picks a free display number and writes it once it accepts clients.
Xvfb -screen 0 1920x1080x24 -noreset -nolisten tcp -displayfd 3 3>"$work/display" 2>/dev/null & pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$work/display")"

expect_status 1 "cannot create" "$work/missing/a.mp4"
expect_status 2 "does not fit in the 1920x1080 screen" --region 1600,0,400,100 "$work/a.mp4"
expect_status 2 "no such window" --window 0x1fffffff "$work/a.mp4"

# A white window in the bottom-right corner of the black screen: only the whole screen at scale 1 shows it there.
xmessage -geometry 400x300-0-0 -bg white -fg white -buttons "" " " >/dev/null 2>&1 & pids+=($!)
sleep 1

# A copy of the program beside a Vistrel.json asking for 10 fps (the command line's rate wins), and its log folder.
mkdir "$work/bin" && cp "$program" "$work/bin/vistrec"
echo '{"VISTREL_CONFIG": {"framerate": 10}}' >"$work/bin/Vistrel.json"

# A plain recording: the whole screen, 1920x1080 at 30 fps, crf 23.
"$work/bin/vistrec" --duration 3 "$work/whole.mp4" >"$work/out.txt" 2>"$work/err.txt" ||
    fail "plain recording: exit $? ($(out))"
IFS=, read -r codec width height rate packets <<<"$(video_facts "$work/whole.mp4")"
[ "$codec,$width,$height,$rate" = "h264,1920,1080,30/1" ] ||
    fail "plain recording: $codec $width x $height at $rate, want h264 1920 x 1080 at 30/1"
# 90 frames are due; a busy machine skips some (the rate above is what --fps decides).
[ "${packets:-0}" -ge 15 ] && [ "${packets:-0}" -le 93 ] || fail "plain recording: $packets frames"
grep -q "video: h264 1920x1080, $packets frames" "$work/out.txt" || fail "frame count is not ffprobe's $packets: $(out)"
[ "$(encoder_crf "$work/whole.mp4")" = crf=23.0 ] || fail "plain recording: $(encoder_crf "$work/whole.mp4")"
# Mean brightness of the bottom-right 200x120 pixels of the last frame.
corner=$(ffmpeg -v error -sseof -0.5 -i "$work/whole.mp4" -frames:v 1 \
    -vf "crop=200:120:in_w-200:in_h-120,scale=1:1:flags=area,format=gray" -f rawvideo - | od -An -tu1 | tr -d ' ')
[ "${corner:-0}" -ge 200 ] || fail "plain recording: the screen's bottom-right corner is missing ($corner)"
grep -q "^vistrec: no sound server reachable (.*): recording video with a silent sound track$" "$work/err.txt" ||
    fail "plain recording: no sound server message: $(out)"
grep -q "audio: aac 16000 Hz, 1 channel" "$work/out.txt" || fail "plain recording: no sound track: $(out)"
[ -s "$work/bin/log/record.log" ] || fail "no log/record.log beside the program"

# --fps and --crf are honoured by the video-only recorder, which neither checks the sound server nor writes sound.
"$work/bin/vistrec" --h264 --fps 15 --crf 28 --duration 2 "$work/video.mp4" >"$work/out.txt" 2>"$work/err.txt" ||
    fail "video-only recording: exit $? ($(out))"
IFS=, read -r codec width height rate packets <<<"$(video_facts "$work/video.mp4")"
[ "$rate,$(encoder_crf "$work/video.mp4")" = 15/1,crf=28.0 ] ||
    fail "video-only recording --fps 15 --crf 28: $rate, $(encoder_crf "$work/video.mp4")"
grep -q "sound server" "$work/err.txt" && fail "video-only recording checked the sound server: $(out)"
grep -q "audio:" "$work/out.txt" && fail "video-only recording has sound: $(out)"

# A region recording with the effects and the text stopped by SIGINT is still finished cleanly
# (the button watcher starts and ends with the recording).
start_recording --click-effects --highlight --text "Hello" --region 100,50,640,360 "$work/region.mkv"
sleep 2; kill -INT "$pid"
wait "$pid" || fail "SIGINT recording: exit $? ($(out))"
IFS=, read -r codec width height rate packets <<<"$(video_facts "$work/region.mkv")"
[ "$width,$height" = 640,360 ] && [ "${packets:-0}" -ge 10 ] ||
    fail "region recording: $width x $height, $packets frames"
grep -q "video: h264 640x360, $packets frames" "$work/out.txt" || fail "Matroska read-back is not ffprobe's $packets frames: $(out)"

# A pause of 1.5 s inside a 2 s recording: the recorded time leaves the pause out.
start_recording --duration 2 "$work/paused.mp4"
sleep 0.5; kill -USR1 "$pid"; sleep 1.5; kill -USR2 "$pid"
start=$(date +%s.%N)
wait "$pid" || fail "paused recording: exit $? ($(out))"
recorded=$(sed -n "s/^recorded \([0-9.]*\) s.*/\1/p" "$work/out.txt")
awk -v r="${recorded:-0}" 'BEGIN { exit !(r >= 1.8 && r <= 2.6) }' || fail "paused recording: recorded $recorded s, want about 2"
waited=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')
awk -v w="$waited" 'BEGIN { exit !(w >= 1.2) }' || fail "paused recording ended $waited s after resume, want about 1.5"

[ "$failures" = 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all command-line checks passed"
