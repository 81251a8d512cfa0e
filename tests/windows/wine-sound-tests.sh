# Sound under wine64, sourced by wine-tests.sh (it uses that script's check, WINE, DIST, tmp and
# Wine prefix). Wine 8 hands WASAPI and waveIn to PulseAudio: a private server gets a null sink
# "vistrec_micsink" whose monitor, remapped as "vistrec_mic", is the default microphone, and a
# null sink "vistrec_play" as the default playback device. Tones played into the microphone
# must come out of the MP4's AAC track:
#   mode 0: the microphone through waveIn (440 Hz);
#   mode 1: the microphone through WASAPI (1000 Hz) mixed with the playback loopback, which
#     Wine 8 cannot capture: the loopback's failure is logged and retried by the watchdog, and
#     the recording holds the microphone alone.
# The host (sound_host.c) reads the level from "voluMem" and receives the low-volume warning in
# its "Vistrel" window (a threshold no level reaches, over the minute the check takes).

pulse=$tmp/pulse
mkdir -p "$pulse/runtime" "$pulse/config" "$pulse/state"
pulse_env=(PULSE_SERVER="unix:$pulse/native" PULSE_COOKIE="$pulse/cookie")
sink="load-module module-null-sink rate=48000 channels=2 sink_name"
cat >"$pulse/server.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$pulse/native
$sink=vistrec_play
$sink=vistrec_micsink
load-module module-remap-source source_name=vistrec_mic master=vistrec_micsink.monitor
set-default-sink vistrec_play
set-default-source vistrec_mic
EOF
env -u PULSE_SERVER -u DISPLAY HOME="$pulse" XDG_RUNTIME_DIR="$pulse" \
  PULSE_RUNTIME_PATH="$pulse/runtime" XDG_CONFIG_HOME="$pulse/config" \
  PULSE_STATE_PATH="$pulse/state" DBUS_SESSION_BUS_ADDRESS=disabled: \
  pulseaudio -n -F "$pulse/server.pa" --daemonize=no --exit-idle-time=-1 --system=false \
  --realtime=false --high-priority=false >"$pulse/server.log" 2>&1 &
pulse_pid=$!
player=""
sound_cleanup() {
  [ -n "$player" ] && kill "$player" 2>/dev/null
  kill "$pulse_pid" 2>/dev/null
  rm -f "$DIST/Vistrel.json"
}
trap 'sound_cleanup; cleanup' EXIT
for _ in $(seq 100); do env "${pulse_env[@]}" pactl info >/dev/null 2>&1 && break; sleep 0.1; done

# The amplitude (share of full scale) of a frequency and of 1860 Hz (no test signal has it) in
# a stretch of the sound track, and its RMS: "TONE REFERENCE RMS".
tone_in() {  # file, Hz, from s, length s
  ffmpeg -v error -ss "$3" -t "$4" -i "$1" -vn -ac 1 -ar 16000 -f s16le - | python3 -c '
import array, math, sys
f = float(sys.argv[1]); x = array.array("h"); x.frombytes(sys.stdin.buffer.read())
n = len(x) or 1
def amp(hz):
    w = 2 * math.pi * hz / 16000
    re = sum(v * math.cos(w * i) for i, v in enumerate(x)); im = sum(v * math.sin(w * i) for i, v in enumerate(x))
    return 2 * math.hypot(re, im) / n / 32768
print("%.4f %.4f %.4f" % (amp(f), amp(1860), math.sqrt(sum(v * v for v in x) / n) / 32768))' "$2"
}
tone_present() {  # "TONE REFERENCE RMS": at least 2% of full scale and 10 times the reference
  awk -v t="$1" 'BEGIN { split(t, v, " "); exit !(v[1] >= 0.02 && v[1] >= 10 * v[2]) }'
}

record_with_tone() {  # name, Hz, seconds, mode[, pause]: records while the tone plays into the mic
  sox -n -r 48000 -c 2 -b 16 "$tmp/tone$2.wav" synth "$(($3 + 10))" sine "$2" vol 0.5
  env "${pulse_env[@]}" paplay --device=vistrec_micsink "$tmp/tone$2.wav" &
  player=$!
  sleep 0.5
  : >"$DIST/log/record.log"
  env "${pulse_env[@]}" "$WINE" ./vistrec_sound_host.exe "Z:$tmp/$1.mp4" "$3" "$4" 5 \
    ${5:-} >"$tmp/$1.txt" 2>&1
  local rc=$?
  kill "$player" 2>/dev/null
  wait "$player" 2>/dev/null
  player=""
  cp "$DIST/log/record.log" "$tmp/$1.log" 2>/dev/null
  tr -d '\r' <"$tmp/$1.txt" | tail -4
  check "$1: host exits 0" $rc "(rc $rc)"
}

check_sound() {  # name, Hz, from s, length s: the tone in the AAC track, a level in voluMem
  local n=$1 codecs tone level
  codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$tmp/$1.mp4" | xargs)
  [ "$codecs" = "h264 aac" ]
  check "$1: streams" $? "($codecs)"
  tone=$(tone_in "$tmp/$1.mp4" "$2" "$3" "$4")
  tone_present "$tone"
  check "$1: $2 Hz tone in the AAC track" $? "(tone, 1860 Hz, rms: $tone)"
  level=$(tr -d '\r' <"$tmp/$1.txt" | awk '/^level max/ {print $3, $5}')
  set -- $level
  [ "${1:-0}" -ge 10 ] && [ "${2:-0}" -ge 5 ]
  check "$n: level in voluMem" $? "(max ${1:-none}, ${2:-0} readings above 0)"
}

if [ -e "$DIST/vistrec_sound_host.exe" ] && env "${pulse_env[@]}" pactl info >/dev/null 2>&1; then
  # Mode 0: the waveIn microphone, closed by a pause at 4 s and opened again on the resume.
  name=wavein
  record_with_tone $name 440 8 0 pause
  opened=$(grep -c "microphone recording from" "$tmp/$name.log")
  [ "$opened" -ge 2 ]
  check "$name: microphone opened before and after the pause" $? "($opened times: $(grep -m1 \
    -o 'microphone recording from.*' "$tmp/$name.log" | tr -d '\r'))"
  check_sound $name 440 1.5 2
  tone=$(tone_in "$tmp/$name.mp4" 440 5 1.5)
  tone_present "$tone"
  check "$name: the tone again after the pause" $? "(tone, 1860 Hz, rms: $tone)"

  # Mode 1: the WASAPI microphone; the loopback fails under Wine 8. Long enough for one
  # low-volume check (30 windows of 2 s).
  name=wasapi
  echo '{"UPLOAD_CONFIG": {"minVolumValue": 101}}' >"$DIST/Vistrel.json"
  record_with_tone $name 1000 66 1
  rm -f "$DIST/Vistrel.json"
  check_sound $name 1000 3 20
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
  # Apart from the tone the track is silent: the loopback added nothing.
  ffmpeg -v info -ss 3 -t 20 -i "$tmp/$name.mp4" -vn -ac 1 -ar 16000 \
    -af "bandreject=f=1000:width_type=h:w=300,astats" -f null - 2>"$tmp/residue.txt"
  residue=$(awk '/Overall/ {o = 1} o && /RMS level dB/ {print $NF; exit}' "$tmp/residue.txt")
  awk -v r="$residue" 'BEGIN { exit !(r == "-inf" || r + 0 < -45) }'
  check "$name: nothing but the tone" $? "(rest ${residue:-none} dB RMS)"
  grep -q "^notify -102" <(tr -d '\r' <"$tmp/$name.txt")
  check "$name: low-volume warning in the Vistrel window" $? \
    "($(tr -d '\r' <"$tmp/$name.txt" | grep '^notify' | xargs))"
else
  check "sound: host and PulseAudio" 1 "(no vistrec_sound_host.exe or no PulseAudio)"
fi
