#!/usr/bin/env bash
# Runs the Windows build under wine64 on a private Xvfb and Wine prefix, and checks the files it
# records by decoding them on Linux:
#
#   tests/windows/wine-tests.sh DIST [I686_DIST]
#
# DIST is the x86_64 folder scripts/build-windows.sh printed; the exports and imports of the DLLs
# in I686_DIST, when given, are checked as well.
#
# Needs wine64, Xvfb, ffmpeg/ffprobe, PulseAudio, sox and python3. Prints "N passed, M failed"
# last; fails on any failure.
set -euo pipefail
DIST=$(cd "$1" && pwd)
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}
WIDTH=1280
HEIGHT=720

passed=0
failed=0
check() {  # name, condition result (0 = pass), detail
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
    echo "ok   $1 $3"
  else
    failed=$((failed + 1))
    echo "FAIL $1 $3"
  fi
}

# Checks run on after a failure; setup failures below end the script themselves.
set +e
between() { awk -v v="${1:-x}" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "x" && v >= lo && v <= hi) }'; }
codecs() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" 2>&1 | xargs; }

# The DLL's exports are the three entry points, undecorated; every DLL it imports, directly or
# through the DLLs beside it, is either beside it or one of the system's. Checked for each
# folder given (the i686 set is built and inspected, not run: no 32-bit Wine here).
check_binaries() {  # folder
  local arch exports missing dll need
  arch=$(objdump -f "$1/vistrec.dll" | awk '/file format/{print $NF}')
  exports=$(objdump -p "$1/vistrec.dll" |
    awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && NF==0{t=0} t{print $NF}' | sort | xargs)
  [ "$exports" = "create_screen_h246_record create_screen_record get_desktop_size" ]
  check "$arch exports" $? "($exports)"
  missing=""
  for dll in "$1"/*.dll "$1"/*.exe; do
    [ -e "$dll" ] || continue
    for need in $(objdump -p "$dll" | awk '/DLL Name:/{print $3}'); do
      [ -e "$1/$need" ] && continue
      case "${need,,}" in
        kernel32.dll | user32.dll | gdi32.dll | winmm.dll | msvcrt.dll | advapi32.dll | \
          ole32.dll | shell32.dll | ws2_32.dll | bcrypt.dll | d3d11.dll | dxgi.dll | \
          api-ms-win-*) ;;
        *) missing="$missing $(basename "$dll")->$need" ;;
      esac
    done
  done
  [ -z "$missing" ]
  check "$arch imports beside the DLL" $? "(${missing:-all found})"
}
for folder in "$DIST" "${@:2}"; do check_binaries "$folder"; done

tmp=$(mktemp -d)
pids=()  # Xvfb, the sound server and its players
cleanup() {
  WINEPREFIX=$tmp/prefix "$WINESERVER" -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$tmp" "$DIST/Vistrel.json"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it once it accepts clients.
Xvfb -screen 0 "${WIDTH}x${HEIGHT}x24" -noreset -displayfd 3 3>"$tmp/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$tmp/display") WINEPREFIX=$tmp/prefix WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)
"$WINE" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
echo "Wine prefix ready in $(($(date +%s) - start)) s"

near() {  # "values", "expected values": as many, each within 40
  local got=($1) want=($2) i d
  [ ${#got[@]} -eq ${#want[@]} ] || return 1
  for i in "${!want[@]}"; do d=$((got[i] - want[i])) && [ ${d#-} -le 40 ] || return 1; done
}

# The platform seam's Win32 backend on the Wine desktop.
cd "$DIST"
"$WINE" ./vistrec_win_platform_test.exe "$WIDTH" "$HEIGHT" | tr -d '\r' | tee "$tmp/platform.txt"
counts=$(tail -n 1 "$tmp/platform.txt")
passed=$((passed + $(echo "$counts" | awk '{print $1 + 0}')))
failed=$((failed + $(echo "$counts" | awk '{print $3 + 0}')))
grep -q ' passed, ' <<<"$counts" || failed=$((failed + 1))

# The recordings run a host from a folder named outside ASCII and outside the ANSI code page, so
# the log, Vistrel.json and the DLLs are found through wide-character paths.
host=$tmp/"Zürich 録画"
cp -a "$DIST" "$host"
cd "$host"
log=$host/log/record.log
rm -f "$log"
run_host() {  # output file (Linux path), options...: the output of $EXE (the C host) in $result
  local file=$1
  shift
  result=$(timeout 120 "$WINE" "${EXE:-./vistrec_c_host.exe}" "Z:$file" "$@" 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
}
value() { awk -v k="$1" '$1 == k {print $2}' <<<"$result" | head -1; }
probe() {  # entry, file, extra options: a value of the video stream
  ffprobe -v error "${@:3}" -select_streams v:0 -show_entries "$1" -of csv=p=0 "$2" 2>/dev/null
}
rate_and_frames() {  # file: its video's rate and decoded frame count in $rate and $frames
  rate=$(probe stream=r_frame_rate "$1") frames=$(probe stream=nb_read_frames "$1" -count_frames)
}

# The MP4 recorder, video only (no sound source opens: the MP4 carries a silent track), of the
# host's four-colour window: 7 s at 20 fps with a 2 s pause after 2 s, as the Linux suite does.
# Damage tracking is asked for: Wine gives no desktop duplication, so the pictures checked below
# come from the fallback to whole GDI copies.
out=$tmp/record.mp4
VISTREC_DAMAGE=1 run_host "$out" 7 pause=2000,2000
echo "$result" | tail -3
check "host exits 0" $rc "(rc $rc)"
resumed=$(value resumed)
between "$resumed" 1900 2100
check "resumeRecord's pause" $? "(${resumed:-none} ms)"
recorded=$(value recorded)
between "$recorded" 4850 5150
check "stopRecord's duration" $? "(${recorded:-none} ms)"
if [ -s "$out" ]; then
  [ "$(codecs "$out")" = "h264 aac" ]
  check "streams" $? "($(codecs "$out"))"
  duration=$(probe format=duration "$out")
  between "$duration" 4.85 5.15
  check "duration" $? "($duration s)"
  rate_and_frames "$out"
  [ "$rate" = 20/1 ] && [ "$frames" -ge 70 ] && [ "$frames" -le 101 ]
  check "frames at 20 fps" $? "($rate, $frames of 100)"
  # The mean colours of the picture's thirds at 1.5 s, as R G B in reading order: at the default
  # scale 0.75 the picture is the screen's top-left three quarters, so the window's quadrants
  # (red, green; blue, white) split it at two thirds.
  thirds=$(ffmpeg -v error -ss 1.5 -i "$out" -frames:v 1 -vf format=rgb24,scale=3:3:flags=area \
    -f rawvideo -pix_fmt rgb24 - | od -An -tu1 | xargs)
  r="255 0 0" g="0 255 0" b="0 0 255" w="255 255 255"
  near "$thirds" "$r $r $g $r $r $g $b $b $w"
  check "picture: the window's quadrants at scale 0.75" $? "($thirds)"
else
  check "recorded file" 1 "(missing or empty)"
fi
# The log beside the host: "|date:ms|level|thread| message" lines, one of them naming the DLL's
# folder (Z: is Wine's drive for /).
lines=$(grep -cE '^\|[^|]+:[0-9.]+\|INFO\|[^|]+\| .' "$log" 2>/dev/null)
[ "${lines:-0}" -ge 3 ] && grep -qF " in Z:${host//\//\\}\\" "$log"
check "log file beside the host" $? "(${lines:-0} INFO lines; $(grep -o ' in Z:.*' "$log" | head -1))"

# The H.264 recorder with a Vistrel.json beside the host that sets 10 frames a second (the host
# asks for 20).
printf '{ "VISTREL_CONFIG": { "framerate": 10 } }\n' >"$host/Vistrel.json"
out=$tmp/h264.mp4
run_host "$out" 3 h264
rm -f "$host/Vistrel.json"
errors=$(ffmpeg -v error -i "$out" -f null - 2>&1 | head -3)
[ $rc -eq 0 ] && [ "$(codecs "$out")" = h264 ] && [ -z "$errors" ]
check "H.264 recorder's file decodes" $? "(rc $rc, $(codecs "$out")${errors:+, $errors})"
rate_and_frames "$out"
# (On a loaded machine the start costs seconds; 20 frames a second would pass 33.)
[ "$rate" = 10/1 ] && [ "${frames:-0}" -ge 5 ] && [ "${frames:-0}" -le 33 ]
check "Vistrel.json's frame rate" $? "(${rate:-none}, ${frames:-0} frames in 3 s)"

# The C++ host built for the Microsoft ABI: the interface's virtual functions, delete and the
# callback object in that layout; 2 s at scale 0.5.
if [ -e ./vistrec_cpp_host.exe ]; then
  out=$tmp/cpp.mp4
  EXE=./vistrec_cpp_host.exe run_host "$out"
  echo "$result" | xargs
  desktop="$(value desktop-width)x$(value desktop-height)"
  [ "$desktop" = "${WIDTH}x${HEIGHT}" ]
  check "C++ host: get_desktop_size" $? "($desktop)"
  # The process ends with ExitProcess, vistrec.dll loaded since the start (an import).
  [ $rc -eq 0 ] && [ "$(value callbacks)" = 1 ]
  check "C++ host exits 0 after onRecordEnd once" $? "(rc $rc, $(value callbacks) calls)"
  # The scale (a double, passed in a vector register) sets the size of the capture.
  recorded=$(value recorded)
  duration=$(probe format=duration "$out")
  grep -q "record_width=$((WIDTH / 2))record_height=$((HEIGHT / 2))" "$log" &&
    between "$recorded" 1850 2150 && between "$duration" 1.85 2.15
  check "C++ host: stop, scale and file" $? "(${recorded:-none} ms, ${duration:-none} s)"
else
  echo "skip the Microsoft-ABI C++ host: not built (no Clang and LLD)"
fi

# An output in a folder that does not exist: the host's "Vistrel" window hears the error
# (-ENOENT) and the host goes on.
run_host "$tmp/no-such-folder/out.mp4" 1
[ $rc -eq 0 ] && grep -qx "notify -2" <<<"$result"
check "I/O error notified" $? "(rc $rc, $(grep notify <<<"$result" | xargs))"

# No encoder opens (a region 100000000 pixels wide): the "Vistrel" window, here in a process of
# its own, hears 0 and the recording process ends with status 1.
"$WINE" ./vistrec_c_host.exe listen 30 >"$tmp/listen.txt" 2>&1 &
listener=$!
for _ in $(seq 100); do grep -q listening "$tmp/listen.txt" && break; sleep 0.1; done
run_host "$tmp/none.mp4" 3 novistrel rect=0,0,100000000,4
wait "$listener"
heard=$(tr -d '\r' <"$tmp/listen.txt" | grep notify | xargs)
[ $rc -eq 1 ] && [ "$heard" = "notify 0" ] && ! grep -q '^recorded' <<<"$result"
check "no encoder: notification and exit status 1" $? "(rc $rc, ${heard:-nothing heard})"

# Sound: tones through waveIn and WASAPI, voluMem, the low-volume warning. Wine 8 hands WASAPI
# and waveIn to PulseAudio: a private server gets a null sink "vistrec_micsink" whose monitor,
# remapped as "vistrec_mic", is the default microphone, and a null sink "vistrec_play" as the
# default playback device. Tones played into the microphone must come out of the MP4's AAC track:
#   mode 0: the microphone through waveIn (440 Hz);
#   mode 1: the microphone through WASAPI (1000 Hz) mixed with the playback loopback, which
#     Wine 8 cannot capture: the loopback's failure is logged and retried by the watchdog, and
#     the recording holds the microphone.
# The host reads the level from "voluMem" and receives the low-volume warning in its "Vistrel"
# window (a threshold no level reaches, over the minute the check takes).
cd "$DIST"
pulse=$tmp/pulse
mkdir -p "$pulse/runtime" "$pulse/config" "$pulse/state"
pulse_env=(PULSE_SERVER="unix:$pulse/native" PULSE_COOKIE="$pulse/cookie")
sink="load-module module-null-sink rate=48000 channels=2 sink_name"
cat >"$pulse/server.pa" <<END
load-module module-native-protocol-unix auth-anonymous=1 socket=$pulse/native
$sink=vistrec_play
$sink=vistrec_micsink
load-module module-remap-source source_name=vistrec_mic master=vistrec_micsink.monitor
set-default-sink vistrec_play
set-default-source vistrec_mic
END
env -u PULSE_SERVER -u DISPLAY HOME="$pulse" XDG_RUNTIME_DIR="$pulse" \
  PULSE_RUNTIME_PATH="$pulse/runtime" XDG_CONFIG_HOME="$pulse/config" \
  PULSE_STATE_PATH="$pulse/state" DBUS_SESSION_BUS_ADDRESS=disabled: \
  pulseaudio -n -F "$pulse/server.pa" --daemonize=no --exit-idle-time=-1 --system=false \
  --realtime=false --high-priority=false >"$pulse/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do env "${pulse_env[@]}" pactl info >/dev/null 2>&1 && break; sleep 0.1; done
# A null sink renders in blocks as long as the lowest latency its streams ask for; a recorder of
# its monitor with a short latency keeps the microphone's blocks short (the tone's player asks
# for a short latency too, as desktop players do).
env "${pulse_env[@]}" pacat --record --latency-msec=10 --device=vistrec_micsink.monitor \
  >/dev/null 2>&1 &
pids+=($!)
play() {  # Hz, seconds, volume, sink: a tone played in the background; its process in $player
  sox -n -r 48000 -c 2 -b 16 "$tmp/tone$1.wav" synth "$2" sine "$1" vol "$3"
  env "${pulse_env[@]}" paplay --latency-msec=20 --device="$4" "$tmp/tone$1.wav" &
  player=$!
  pids+=($player)
}

# How much of a stretch of the sound track holds a tone: in how many of its 100 ms windows the
# tone's amplitude is at least 2% of full scale and 10 times that of 1860 Hz (no test signal
# has it). Prints "SHARE MEDIAN-AMPLITUDE RMS" (RMS of the whole stretch, share of full scale).
tone_in() {  # file, Hz, from s, length s
  ffmpeg -v error -ss "$3" -t "$4" -i "$1" -vn -ac 1 -ar 16000 -f s16le - | python3 -c '
import array, math, sys
f = float(sys.argv[1]); x = array.array("h"); x.frombytes(sys.stdin.buffer.read())
def amp(w, hz):
    k = 2 * math.pi * hz / 16000
    re = sum(v * math.cos(k * i) for i, v in enumerate(w)); im = sum(v * math.sin(k * i) for i, v in enumerate(w))
    return 2 * math.hypot(re, im) / len(w) / 32768
windows = [x[i:i + 1600] for i in range(0, len(x) - 1599, 1600)]
tones = sorted(amp(w, f) for w in windows) or [0]
present = sum(1 for w in windows if amp(w, f) >= 0.02 and amp(w, f) >= 10 * amp(w, 1860))
rms = math.sqrt(sum(v * v for v in x) / max(len(x), 1)) / 32768
print("%.2f %.4f %.4f" % (present / max(len(windows), 1), tones[len(tones) // 2], rms))' "$2"
}

record_with_tone() {  # name, Hz, seconds, mode[, pause]: records while the tone plays into the mic
  play "$2" "$(($3 + 10))" 0.1 vistrec_micsink
  sleep 0.5
  : >"$DIST/log/record.log"
  # The noise suppressor learns a steady tone as noise and fades it out: these runs go without.
  # The host records its own hidden window at 5 fps: the sound is what counts here.
  env "${pulse_env[@]}" VISTREC_NO_NUVRA=1 "$WINE" ./vistrec_c_host.exe "Z:$tmp/$1.mp4" "$3" \
    audio="$4" fps=5 own level ${5:+pause=$(($3 * 500)),1000} >"$tmp/$1.txt" 2>&1
  local rc=$?
  kill "$player" 2>/dev/null
  wait "$player" 2>/dev/null
  cp "$DIST/log/record.log" "$tmp/$1.log" 2>/dev/null
  tr -d '\r' <"$tmp/$1.txt" | tail -4
  check "$1: host exits 0" $rc "(rc $rc)"
}

check_sound() {  # name, Hz, from s, length s, lowest and highest level: the tone, voluMem
  # (A file without its AAC track fails the tone's check.)
  local n=$1 low=$5 high=$6 tone level
  tone=$(tone_in "$tmp/$1.mp4" "$2" "$3" "$4")
  between "${tone%% *}" 0.9 1
  check "$1: $2 Hz tone in the AAC track" $? "(share, median amplitude, rms: $tone)"
  level=$(tr -d '\r' <"$tmp/$1.txt" | awk '/^level max/ {print $3, $5}')
  set -- $level
  between "${1:-}" "$low" "$high" && [ "${2:-0}" -ge 5 ]
  check "$n: level in voluMem" $? "(max ${1:-none}, ${2:-0} readings above 0)"
}

if env "${pulse_env[@]}" pactl info >/dev/null 2>&1; then
  # Mode 0: the waveIn microphone, closed by a pause at 6 s and opened again on the resume.
  name=wavein
  record_with_tone $name 440 12 0 pause
  opened=$(grep -c "microphone recording from" "$tmp/$name.log")
  [ "$opened" -ge 2 ]
  check "$name: microphone opened before and after the pause" $? "($opened times: $(grep -m1 \
    -o 'microphone recording from.*' "$tmp/$name.log" | tr -d '\r'))"
  # A tenth of full scale reads 31.
  check_sound $name 440 1 2.5 28 34
  # Wine's waveIn takes up to about a second and a half to deliver its first buffer, and up to
  # three seconds on a loaded machine: the check looks at the track's end, 5 s after the resume.
  track=$(ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 \
    "$tmp/$name.mp4")
  # On a loaded machine Wine's waveIn drops pieces of sound (its four buffers of 100 ms run out
  # while its threads wait for a core), so here the tone need only be back in half the windows.
  tone=$(tone_in "$tmp/$name.mp4" 440 "$(awk -v d="$track" 'BEGIN { print d - 2 }')" 1.5)
  between "${tone%% *}" 0.5 1
  check "$name: the tone again after the pause" $? "(share, median amplitude, rms: $tone)"

  # Mode 1: the WASAPI microphone; the loopback fails under Wine 8. Long enough for one
  # low-volume check (30 windows of 2 s).
  name=wasapi
  echo '{"UPLOAD_CONFIG": {"minVolumValue": 101}}' >"$DIST/Vistrel.json"
  record_with_tone $name 1000 66 1
  rm -f "$DIST/Vistrel.json"
  check_sound $name 1000 3 20 10 100
  grep -q "capture device 1: " "$tmp/$name.log"
  check "$name: microphone captured through WASAPI" $? \
    "($(grep -m1 -o 'capture device 1: .*' "$tmp/$name.log" | tr -d '\r'))"
  # The failure's code and its text (AUDCLNT_E_WRONG_ENDPOINT_TYPE under Wine 8).
  failures=$(grep -c "AUDCLNT_SHAREMODE_SHARED failed0" "$tmp/$name.log")
  reason=$(grep -m1 -o "sound server: AUDCLNT_E_[A-Z_]*" "$tmp/$name.log")
  [ "$failures" -ge 2 ] && [ -n "$reason" ]
  check "$name: loopback failure logged and retried" $? \
    "($failures times: $(grep -m1 -o 'AUDCLNT_SHAREMODE_SHARED failed0.*' "$tmp/$name.log" |
      tr -d '\r'); $reason)"
  grep -q "^notify -102" <(tr -d '\r' <"$tmp/$name.txt")
  check "$name: low-volume warning in the Vistrel window" $? \
    "($(tr -d '\r' <"$tmp/$name.txt" | grep '^notify' | xargs))"
else
  check "sound: PulseAudio" 1 "(no PulseAudio)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
