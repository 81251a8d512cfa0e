# Sound under wine64, sourced by wine-tests.sh (it uses that script's check, WINE, DIST, tmp and
# Wine prefix). Wine 8 hands WASAPI and waveIn to PulseAudio: a private server gets a null sink
# "vistrec_micsink" whose monitor, remapped as "vistrec_mic", is the default microphone, and a
# null sink "vistrec_play" as the default playback device. Tones played into the microphone
# must come out of the MP4's AAC track:
#   mode 0: the microphone through waveIn (440 Hz);
#   mode 1: the microphone through WASAPI (1000 Hz) mixed with the playback loopback, which
#     Wine 8 cannot capture: the loopback's failure is logged and retried by the watchdog, and
#     the recording holds the microphone alone, not the tone played to the speakers (1500 Hz).
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
  [ -n "${speakers_player:-}" ] && kill "$speakers_player" 2>/dev/null
  kill "$keeper" "$pulse_pid" 2>/dev/null
  rm -f "$DIST/Vistrel.json"
}
trap 'sound_cleanup; cleanup' EXIT
for _ in $(seq 100); do env "${pulse_env[@]}" pactl info >/dev/null 2>&1 && break; sleep 0.1; done
# A null sink renders in blocks as long as the lowest latency its streams ask for; a recorder of
# its monitor with a short latency keeps the microphone's blocks short (the tone's player asks
# for a short latency too, as desktop players do).
env "${pulse_env[@]}" pacat --record --latency-msec=10 --device=vistrec_micsink.monitor \
  >/dev/null 2>&1 &
keeper=$!

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
tone_present() {  # tone_in's result: the tone in at least 90% of the windows
  awk -v t="$1" 'BEGIN { split(t, v, " "); exit !(v[1] >= 0.9) }'
}

record_with_tone() {  # name, Hz, seconds, mode[, pause]: records while the tone plays into the mic
  sox -n -r 48000 -c 2 -b 16 "$tmp/tone$2.wav" synth "$(($3 + 10))" sine "$2" vol 0.1
  env "${pulse_env[@]}" paplay --latency-msec=20 --device=vistrec_micsink "$tmp/tone$2.wav" &
  player=$!
  sleep 0.5
  : >"$DIST/log/record.log"
  # The noise suppressor learns a steady tone as noise and fades it out: these runs go without.
  env "${pulse_env[@]}" VISTREC_NO_NUVRA=1 "$WINE" ./vistrec_sound_host.exe "Z:$tmp/$1.mp4" "$3" "$4" 5 \
    ${5:-} >"$tmp/$1.txt" 2>&1
  local rc=$?
  kill "$player" 2>/dev/null
  wait "$player" 2>/dev/null
  player=""
  cp "$DIST/log/record.log" "$tmp/$1.log" 2>/dev/null
  tr -d '\r' <"$tmp/$1.txt" | tail -4
  check "$1: host exits 0" $rc "(rc $rc)"
}

check_sound() {  # name, Hz, from s, length s, lowest and highest level: the tone, voluMem
  local n=$1 low=$5 high=$6 codecs tone level
  codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$tmp/$1.mp4" | xargs)
  [ "$codecs" = "h264 aac" ]
  check "$1: streams" $? "($codecs)"
  tone=$(tone_in "$tmp/$1.mp4" "$2" "$3" "$4")
  tone_present "$tone"
  check "$1: $2 Hz tone in the AAC track" $? "(share, median amplitude, rms: $tone)"
  level=$(tr -d '\r' <"$tmp/$1.txt" | awk '/^level max/ {print $3, $5}')
  set -- $level
  [ "${1:-0}" -ge "$low" ] && [ "${1:-0}" -le "$high" ] && [ "${2:-0}" -ge 5 ]
  check "$n: level in voluMem" $? "(max ${1:-none}, ${2:-0} readings above 0)"
}

if [ -e "$DIST/vistrec_sound_host.exe" ] && env "${pulse_env[@]}" pactl info >/dev/null 2>&1; then
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
  awk -v t="$tone" 'BEGIN { split(t, v, " "); exit !(v[1] >= 0.5) }'
  check "$name: the tone again after the pause" $? "(share, median amplitude, rms: $tone)"

  # Mode 1: the WASAPI microphone; the loopback fails under Wine 8. Long enough for one
  # low-volume check (30 windows of 2 s).
  name=wasapi
  echo '{"UPLOAD_CONFIG": {"minVolumValue": 101}}' >"$DIST/Vistrel.json"
  sox -n -r 48000 -c 2 -b 16 "$tmp/speakers.wav" synth 80 sine 1500 vol 0.5
  env "${pulse_env[@]}" paplay --latency-msec=20 --device=vistrec_play "$tmp/speakers.wav" &
  speakers_player=$!
  record_with_tone $name 1000 66 1
  kill "$speakers_player" 2>/dev/null
  wait "$speakers_player" 2>/dev/null
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
  # What the speakers played is not in the track (Wine 8 has no loopback to capture it).
  speakers=$(tone_in "$tmp/$name.mp4" 1500 3 20)
  awk -v t="$speakers" 'BEGIN { split(t, v, " "); exit !(v[1] == 0 && v[2] < 0.002) }'
  check "$name: the speakers' 1500 Hz tone absent" $? "(share, median amplitude, rms: $speakers)"
  grep -q "^notify -102" <(tr -d '\r' <"$tmp/$name.txt")
  check "$name: low-volume warning in the Vistrel window" $? \
    "($(tr -d '\r' <"$tmp/$name.txt" | grep '^notify' | xargs))"
else
  check "sound: host and PulseAudio" 1 "(no vistrec_sound_host.exe or no PulseAudio)"
fi
