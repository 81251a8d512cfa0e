#!/usr/bin/env bash
# Runs the Windows build under wine64 on a private Xvfb and Wine prefix, and checks the files it
# records by decoding them on Linux:
#
#   tests/windows/wine-tests.sh DIST      (DIST: the folder scripts/build-windows.sh printed)
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
# through the DLLs beside it, is either beside it or one of the system's.
exports=$(objdump -p "$DIST/vistrec.dll" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && NF==0{t=0} t{print $NF}' | sort | xargs)
[ "$exports" = "create_screen_h246_record create_screen_record get_desktop_size" ]
check "exports" $? "($exports)"
missing=""
for dll in "$DIST"/*.dll "$DIST"/*.exe; do
  [ -e "$dll" ] || continue
  for need in $(objdump -p "$dll" | awk '/DLL Name:/{print $3}'); do
    [ -e "$DIST/$need" ] && continue
    case "${need,,}" in
      kernel32.dll | user32.dll | gdi32.dll | winmm.dll | msvcrt.dll | advapi32.dll | \
        ole32.dll | shell32.dll | ws2_32.dll | bcrypt.dll | api-ms-win-*) ;;
      *) missing="$missing $(basename "$dll")->$need" ;;
    esac
  done
done
[ -z "$missing" ]
check "imports beside the DLL" $? "(${missing:-all found})"

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

# A video-only recording (no sound source opens: the MP4 carries a silent track) of the host's
# four-colour window, 3 s at 20 fps.
out=$tmp/record.mp4
result=$("$WINE" ./vistrec_c_host.exe "Z:$out" 3 2>&1)
rc=$?
echo "$result" | tail -3
check "host exits 0" $rc "(rc $rc)"
recorded=$(echo "$result" | awk '/^recorded/{print $2}' | tr -d '\r')
[ -n "$recorded" ] && [ "$recorded" -ge 2700 ] && [ "$recorded" -le 3600 ]
check "stopRecord's duration" $? "(${recorded:-none} ms)"
if [ -s "$out" ]; then
  codecs=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | xargs)
  [ "$codecs" = "h264 aac" ]
  check "streams" $? "($codecs)"
  duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out")
  awk -v d="$duration" 'BEGIN { exit !(d >= 2.6 && d <= 3.5) }'
  check "duration" $? "($duration s)"
  frames=$(ffprobe -v error -count_frames -select_streams v:0 \
    -show_entries stream=nb_read_frames -of csv=p=0 "$out")
  [ "$frames" -ge 50 ] && [ "$frames" -le 70 ]
  check "frames at 20 fps" $? "($frames)"
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

# --- sound (winsound): tones through waveIn and WASAPI, voluMem, the low-volume warning ---
cd "$DIST"
. "$SOUND_TESTS"
# --- end sound ---

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
