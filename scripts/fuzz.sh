#!/usr/bin/env bash
# Builds a libFuzzer target with clang (AddressSanitizer and UBSan on) and runs it.
#   scripts/fuzz.sh TARGET [SECONDS]     TARGET: icon (the ".ico" reader), config (the
#                                        "Vistrel.json" reader), soundfile (the sound-file
#                                        source, any FFmpeg format)
# The corpus grows in build-fuzz/TARGET-corpus (seeded with the shipped icons when built);
# crashes land in build-fuzz/TARGET-crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS]}
seconds=${2:-60}
out=build-fuzz
# The library logs to log/record.log beside the program.
mkdir -p "$out/$target-corpus" "$out/$target-crashes" "$out/log"

case "$target" in
  icon)
    sources=(tests/picture/FuzzIconFile.cpp platform/linux/IconFile.cpp)
    libs=$(pkg-config --libs libavcodec libavutil)
    cflags=$(pkg-config --cflags libavcodec libavutil)
    for seed in build/tools/vistrec/mouseeffect/*.ico; do
      [ -e "$seed" ] && cp -n "$seed" "$out/$target-corpus/"
    done
    # Layouts of other writers: a PNG entry, several sizes, palette entries with a mask.
    if convert -version 2>/dev/null | grep -q ImageMagick; then
      c=$out/$target-corpus
      [ -e "$c/im-png.ico" ] || convert -size 256x256 'xc:rgba(0,0,255,0.5)' "$c/im-png.ico"
      [ -e "$c/im-sizes.ico" ] || convert -size 24x24 xc:red -size 16x16 xc:blue "$c/im-sizes.ico"
      [ -e "$c/im-4bit.ico" ] || convert -size 16x16 xc:white -fill black \
        -draw 'rectangle 0,0 7,15' -alpha set -region 4x4+12+12 -alpha transparent +region \
        -type palettealpha "$c/im-4bit.ico"
    fi
    ;;
  soundfile)
    sources=(tests/soundfile/FuzzSoundFile.cpp audiocapture/Mp3Decoder.cpp
      support/MemoryBuffer.cpp support/Log.cpp platform/linux/Process.cpp)
    libs="$(pkg-config --libs libavformat libavcodec libswresample libavutil log4cplus) -pthread"
    cflags=$(pkg-config --cflags libavformat libavcodec libswresample libavutil log4cplus)
    # Short files of each kind, made here: a 660 Hz tone and a bit of noise.
    c=$out/$target-corpus
    for spec in mp3:22050:1 wav:8000:1 ogg:44100:2 flac:16000:1 m4a:24000:1 opus:48000:2; do
      IFS=: read -r ext rate ch <<<"$spec"
      [ -e "$c/seed.$ext" ] || ffmpeg -nostdin -loglevel error -y -f lavfi \
        -i "sine=frequency=660:duration=0.3:sample_rate=$rate,volume=0.5" -ac "$ch" "$c/seed.$ext"
    done
    [ -e "$c/noise.mp3" ] || ffmpeg -nostdin -loglevel error -y -f lavfi \
      -i "anoisesrc=d=0.2:c=white:r=16000:a=0.3" "$c/noise.mp3"
    ;;
  config)
    # The target parses each input as the text of "Vistrel.json", in memory.
    sources=(tests/support/FuzzConfigFile.cpp support/Config.cpp support/Log.cpp
      platform/linux/Process.cpp)
    libs=$(pkg-config --libs jsoncpp log4cplus)
    cflags=$(pkg-config --cflags jsoncpp log4cplus)
    # Seeds: the settings as hosts write them, and the shapes the reader must turn down.
    c=$out/$target-corpus
    printf '%s' '{"VISTREL_CONFIG":{"framerate":15},"UPLOAD_CONFIG":{"minVolumValue":5}}' >"$c/both"
    printf '%s' '{"VISTREL_CONFIG":{"framerate":0}}' >"$c/rate-zero"
    printf '%s' '{"VISTREL_CONFIG":{"framerate":15.0},"UPLOAD_CONFIG":{"minVolumValue":"5"}}' >"$c/wrong-types"
    printf '%s' '{"VISTREL_CONFIG":{"framerate":2147483648},"UPLOAD_CONFIG":{}}' >"$c/too-big"
    printf '%s' '{"VISTREL_CONFIG":null,"UPLOAD_CONFIG":[1,2]}' >"$c/not-objects"
    printf '%s' '// comment
{"VISTREL_CONFIG":{"framerate":-3}}' >"$c/comment"
    printf '%s' '[{"VISTREL_CONFIG":{"framerate":15}}]' >"$c/array-root"
    printf '{"VISTREL_CONFIG":{"framerate":9}}\0{"x":1}' >"$c/zero-byte"
    printf '%s' '{"a":"\u00e9\ud83d\ude00","b":[true,false,null,-0.5e-3],"c":{"d":{"e":[]}}}' >"$c/all-types"
    printf '%s' '42' >"$c/bare-number"
    ;;
  *)
    echo "unknown fuzz target: $target" >&2
    exit 2
    ;;
esac

# shellcheck disable=SC2086
clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I. -Iinclude $cflags "${sources[@]}" $libs -o "$out/fuzz-$target"
"$out/fuzz-$target" -max_total_time="$seconds" -rss_limit_mb=512 -malloc_limit_mb=64 \
  -max_len=65536 -artifact_prefix="$out/$target-crashes/" -print_final_stats=1 \
  "$out/$target-corpus"
