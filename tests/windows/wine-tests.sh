#!/usr/bin/env bash
# Runs the Windows build under wine64 on a private Xvfb and Wine prefix, and checks the files it
# records by decoding them on Linux:
#
#   tests/windows/wine-tests.sh DIST [I686_DIST]
#
# DIST is the x86_64 folder scripts/build-windows.sh printed; the exports and imports of the DLLs
# in I686_DIST, when given, are checked as well.
#
# Needs wine64, Xvfb and ffmpeg/ffprobe. Prints "N passed, M failed" last; fails on any failure.
set -euo pipefail
DIST=$(cd "$1" && pwd)
SOUND_TESTS=$(cd "$(dirname "$0")" && pwd)/wine-sound-tests.sh  # sound (winsound)
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
xvfb=""
cleanup() {
  WINEPREFIX=$tmp/prefix "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

display=""
for n in $(seq 70 99); do
  if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free X display number" >&2; exit 1; }
Xvfb ":$display" -screen 0 "${WIDTH}x${HEIGHT}x24" -noreset >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$display ] && break; sleep 0.1; done

export DISPLAY=:$display WINEPREFIX=$tmp/prefix WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)
"$WINE" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
echo "Wine prefix ready in $(($(date +%s) - start)) s"

# The colour of the decoded picture at a point given in per cent of its size, as "R G B" (from
# a 2 x 2 crop: 4:2:0 chroma has no 1 x 1).
colour_at() {  # file, x %, y %, time
  local size w h
  size=$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$1")
  w=${size%,*}
  h=${size#*,}
  ffmpeg -v error -ss "$4" -i "$1" -frames:v 1 \
    -vf "crop=2:2:$((w * $2 / 100)):$((h * $3 / 100))" -f rawvideo -pix_fmt rgb24 - |
    head -c 3 | od -An -tu1 | xargs
}

near() {  # "R G B", expected R G B: each channel within 40
  local got=($1)
  [ ${#got[@]} -eq 3 ] || return 1
  for i in 0 1 2; do
    local d=$((got[i] - $((i == 0 ? $2 : (i == 1 ? $3 : $4)))))
    [ ${d#-} -le 40 ] || return 1
  done
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
run_host() {  # output file (Linux path), seconds, options...: the host's output in $result
  local file=$1
  shift
  result=$(timeout 120 "$WINE" ./vistrec_c_host.exe "Z:$file" "$@" 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
}
value() { awk -v k="$1" '$1 == k {print $2}' <<<"$result" | head -1; }
probe() {  # entry, file, extra options: a value of the video stream
  ffprobe -v error "${@:3}" -select_streams v:0 -show_entries "$1" -of csv=p=0 "$2" 2>/dev/null
}

# The MP4 recorder, video only (no sound source opens: the MP4 carries a silent track), of the
# host's four-colour window: 7 s at 20 fps with a 2 s pause after 2 s, as the Linux suite does.
# Damage tracking is asked for: Wine gives no desktop duplication (DuplicateOutput answers
# E_NOTIMPL, and without OpenGL on the display no Direct3D device is made at all), so every frame
# comes from the GDI copies.
out=$tmp/record.mp4
VISTREC_DAMAGE=1 WINEDEBUG=-all,fixme+dxgi run_host "$out" 7 pause=2000,2000
echo "$result" | tail -3
check "host exits 0" $rc "(rc $rc)"
grep -q 'capture: full grabs (no damage tracking on this display)' "$log"
check "no desktop duplication: GDI copies" $? "($(grep -c DuplicateOutput <<<"$result") tries)"
resumed=$(value resumed)
[ -n "$resumed" ] && [ "$resumed" -ge 1900 ] && [ "$resumed" -le 2100 ]
check "resumeRecord's pause" $? "(${resumed:-none} ms)"
recorded=$(value recorded)
[ -n "$recorded" ] && [ "$recorded" -ge 4850 ] && [ "$recorded" -le 5150 ]
check "stopRecord's duration" $? "(${recorded:-none} ms)"
if [ -s "$out" ]; then
  codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | xargs)
  [ "$codecs" = "h264 aac" ]
  check "streams" $? "($codecs)"
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out")
  awk -v d="$duration" 'BEGIN { exit !(d >= 4.85 && d <= 5.15) }'
  check "duration" $? "($duration s)"
  rate=$(probe stream=r_frame_rate "$out")
  frames=$(probe stream=nb_read_frames "$out" -count_frames)
  [ "$rate" = 20/1 ] && [ "$frames" -ge 70 ] && [ "$frames" -le 101 ]
  check "frames at 20 fps" $? "($rate, $frames of 100)"
  for q in "25 25 255 0 0 red" "75 25 0 255 0 green" "25 75 0 0 255 blue" \
    "75 75 255 255 255 white"; do
    set -- $q
    c=$(colour_at "$out" "$1" "$2" 1.5)
    near "$c" "$3" "$4" "$5"
    check "picture $6 quadrant" $? "($c)"
  done
else
  check "recorded file" 1 "(missing or empty)"
fi
# The log beside the host: "|date:ms|level|thread| message" lines.
lines=$(grep -cE '^\|[^|]+:[0-9.]+\|INFO\|[^|]+\| .' "$log" 2>/dev/null)
[ "${lines:-0}" -ge 3 ]
check "log file beside the host" $? "(${lines:-0} INFO lines in log/record.log)"

# The H.264 recorder with a Vistrel.json beside the host that sets 10 frames a second (the host
# asks for 20).
printf '{ "VISTREL_CONFIG": { "framerate": 10 } }\n' >"$host/Vistrel.json"
out=$tmp/h264.mp4
run_host "$out" 3 h264
rm -f "$host/Vistrel.json"
errors=$(ffmpeg -v error -i "$out" -f null - 2>&1 | head -3)
codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" 2>&1 | xargs)
[ $rc -eq 0 ] && [ "$codecs" = h264 ] && [ -z "$errors" ]
check "H.264 recorder's file decodes" $? "(rc $rc, $codecs${errors:+, $errors})"
rate=$(probe stream=r_frame_rate "$out")
frames=$(probe stream=nb_read_frames "$out" -count_frames)
# (On a loaded machine the start costs seconds; 20 frames a second would pass 33.)
[ "$rate" = 10/1 ] && [ "${frames:-0}" -ge 5 ] && [ "${frames:-0}" -le 33 ]
check "Vistrel.json's frame rate" $? "(${rate:-none}, ${frames:-0} frames in 3 s)"

# The C++ host built for the Microsoft ABI: the interface's virtual functions, delete and the
# callback object in that layout; 3 s at scale 0.5 with a 1 s pause.
if [ -e ./vistrec_cpp_host.exe ]; then
  out=$tmp/cpp.mp4
  result=$(timeout 120 "$WINE" ./vistrec_cpp_host.exe "Z:$out" 2>&1 | tr -d '\r')
  rc=${PIPESTATUS[0]}
  echo "$result" | xargs
  desktop="$(value desktop-width)x$(value desktop-height)"
  [ "$desktop" = "${WIDTH}x${HEIGHT}" ]
  check "C++ host: get_desktop_size" $? "($desktop)"
  # The process ends with ExitProcess, vistrec.dll loaded since the start (an import).
  [ $rc -eq 0 ]
  check "C++ host exits 0" $? "(rc $rc; 124: still running after 120 s)"
  resumed=$(value resumed)
  recorded=$(value recorded)
  [ -n "$resumed" ] && [ "$resumed" -ge 900 ] && [ "$resumed" -le 1100 ] &&
    [ -n "$recorded" ] && [ "$recorded" -ge 2850 ] && [ "$recorded" -le 3150 ]
  check "C++ host: pause and stop" $? "(${resumed:-none} ms paused, ${recorded:-none} ms)"
  [ "$(value callbacks)" = 1 ]
  check "C++ host: onRecordEnd once" $? "($(value callbacks) calls)"
  # The scale (a double, passed in a vector register) sets the size of the capture.
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out" 2>/dev/null)
  grep -q "record_width=$((WIDTH / 2))record_height=$((HEIGHT / 2))" "$log" &&
    awk -v d="${duration:-0}" 'BEGIN { exit !(d >= 2.85 && d <= 3.15) }'
  check "C++ host: scale and file" $? "(${duration:-none} s)"
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

# --- sound (winsound): tones through waveIn and WASAPI, voluMem, the low-volume warning ---
cd "$DIST"
. "$SOUND_TESTS"
# --- end sound ---

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
