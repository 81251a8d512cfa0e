#!/bin/bash
# End-to-end test of the vistrec command line on a private Xvfb: argument and environment
# errors with their exit statuses, a timed recording, a recording stopped by SIGINT, one with
# a pause and a video-only one, each file checked with ffprobe. No sound server is reachable:
# recordings with sound say so and get a silent sound track.
# Usage: cli_record_test.sh VISTREC_PROGRAM
set -u
program=$1
work=$(mktemp -d /tmp/vistrec-cli-e2e-XXXXXX)
xvfb_pid=
failures=0
# A socket that does not exist, so that no sound server is reached whatever runs on this machine.
export PULSE_SERVER="unix:$work/no-sound-server"

cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs the program and checks its exit status and a text in its standard error.
expect_status() {
    local want=$1 text=$2
    shift 2
    "$program" "$@" >"$work/out.txt" 2>"$work/err.txt"
    local got=$?
    [ "$got" = "$want" ] || fail "vistrec $*: exit $got, want $want ($(cat "$work/err.txt"))"
    grep -qF -- "$text" "$work/err.txt" || fail "vistrec $*: stderr lacks '$text': $(cat "$work/err.txt")"
}

# Video stream facts of a file: "codec,width,height,packets".
video_facts() {
    ffprobe -v error -select_streams v:0 -count_packets \
        -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$1"
}

# Errors found before any recording.
expect_status 2 "unknown option '--bogus'" --bogus "$work/a.mp4"
expect_status 2 "--fps needs an integer from 2 to 30" --fps 99 "$work/a.mp4"
expect_status 2 "missing output file" --duration 1
expect_status 2 "must end in .mp4, .mov, .mkv or .m4v" "$work/a.avi"
expect_status 2 "--audio-mode needs an integer from 0 to 2" --audio-mode 3 "$work/a.mp4"
expect_status 2 "--audio-mode does not apply to --h264" --h264 --audio-mode 2 "$work/a.mp4"
DISPLAY= expect_status 1 "DISPLAY is not set" "$work/a.mp4"
DISPLAY=:1999 expect_status 1 "cannot open X display ':1999'" "$work/a.mp4"

# A free display number for a private X server.
display=
for n in $(seq 61 99); do
    if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
Xvfb ":$display" -screen 0 1280x720x24 -noreset -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start"; exit 1; }

expect_status 1 "cannot create" "$work/missing/a.mp4"
expect_status 2 "does not fit in the 1280x720 screen" --region 1000,0,400,100 "$work/a.mp4"
expect_status 2 "no such window" --window 0x1fffffff "$work/a.mp4"

# A timed recording of the whole screen: about 2 s at the library's 20 fps.
"$program" --duration 2 --scale 1 "$work/timed.mp4" >"$work/out.txt" 2>"$work/err.txt"
status=$?
[ "$status" = 0 ] || fail "timed recording: exit $status ($(cat "$work/err.txt"))"
grep -q "recorded [0-9.]* s to '$work/timed.mp4'" "$work/out.txt" || fail "no summary: $(cat "$work/out.txt")"
grep -q "video: h264 1280x720, [0-9]* frames" "$work/out.txt" || fail "no video line: $(cat "$work/out.txt")"
IFS=, read -r codec width height packets <<<"$(video_facts "$work/timed.mp4")"
[ "$codec" = h264 ] && [ "$width" = 1280 ] && [ "$height" = 720 ] || fail "timed recording: $codec $width x $height"
[ "${packets:-0}" -ge 30 ] && [ "${packets:-0}" -le 42 ] || fail "timed recording: $packets frames for 2 s at 20 fps"
# The frame count printed is the one ffprobe counts.
grep -q "video: h264 1280x720, $packets frames" "$work/out.txt" || fail "printed frame count differs from ffprobe's $packets"
# Without a sound server the recording goes on, with a silent sound track.
grep -q "^vistrec: no sound server reachable (.*): recording video with a silent sound track$" "$work/err.txt" \
    || fail "timed recording: no sound server message: $(cat "$work/err.txt")"
grep -q "audio: aac 16000 Hz, 1 channel" "$work/out.txt" || fail "timed recording: no sound track: $(cat "$work/out.txt")"

# A region recording stopped by SIGINT is still finished cleanly.
"$program" --region 100,50,640,360 --scale 1 "$work/region.mkv" >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
sleep 2
kill -INT "$pid"
wait "$pid"
status=$?
[ "$status" = 0 ] || fail "SIGINT recording: exit $status ($(cat "$work/err.txt"))"
IFS=, read -r codec width height packets <<<"$(video_facts "$work/region.mkv")"
[ "$width" = 640 ] && [ "$height" = 360 ] || fail "region recording: $width x $height"
[ "${packets:-0}" -ge 10 ] || fail "region recording: $packets frames"

# A pause of 1.5 s inside a 2 s recording: the recorded time leaves the pause out.
"$program" --duration 2 "$work/paused.mp4" >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
sleep 0.5
kill -USR1 "$pid"
sleep 1.5
kill -USR2 "$pid"
start=$(date +%s.%N)
wait "$pid"
status=$?
[ "$status" = 0 ] || fail "paused recording: exit $status ($(cat "$work/err.txt"))"
recorded=$(sed -n "s/^recorded \([0-9.]*\) s.*/\1/p" "$work/out.txt")
awk -v r="${recorded:-0}" 'BEGIN { exit !(r >= 1.8 && r <= 2.6) }' || fail "paused recording: recorded $recorded s, want about 2"
waited=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')
awk -v w="$waited" 'BEGIN { exit !(w >= 1.2) }' || fail "paused recording ended $waited s after resume, want about 1.5"

# A video-only recording, by a copy of the program in a fresh folder (the build tree's program
# finds the library by its absolute run path): it neither checks for a sound server nor writes
# a sound track, and it makes the library's log folder beside itself. 2 s, as the MP4 recorder
# would have written sound by then.
mkdir "$work/bin"
cp "$program" "$work/bin/vistrec"
"$work/bin/vistrec" --h264 --duration 2 "$work/video.mp4" >"$work/out.txt" 2>"$work/err.txt"
status=$?
[ "$status" = 0 ] || fail "video-only recording: exit $status ($(cat "$work/err.txt"))"
grep -q "sound server" "$work/err.txt" && fail "video-only recording checked the sound server: $(cat "$work/err.txt")"
grep -q "audio:" "$work/out.txt" && fail "video-only recording has sound: $(cat "$work/out.txt")"
[ -s "$work/bin/log/record.log" ] || fail "no log/record.log beside the program"

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all command-line checks passed"
