#!/bin/sh
# Decodes the benchmark clip with the core (core_decode_bench, which also
# times FFmpeg's libraries in a plain loop) and with the ffmpeg command a
# user would run for the same output: every picture as packed YUYV 4:2:2
# and the audio as signed 32-bit PCM, written nowhere.
#
#   bench/core_decode_vs_ffmpeg.sh [BUILD_FOLDER] [MEDIA]
set -eu
build=${1:-build}
bench="$build/bin/core_decode_bench"
[ -x "$bench" ] || { echo "build core_decode_bench in $build first" >&2; exit 1; }

if [ $# -ge 2 ]; then
  "$bench" --media "$2"
  media=$2
else
  out=$("$bench")
  echo "$out"
  media=$(echo "$out" | sed -n 's/^media: //p')
fi

echo
for threads in 1 0; do
  start=$(date +%s.%N)
  ffmpeg -v error -nostdin -threads "$threads" -i "$media" \
    -map 0:v -pix_fmt yuyv422 -sws_flags bicubic -f rawvideo -y /dev/null \
    -map 0:a -c:a pcm_s32le -f s32le -y /dev/null
  end=$(date +%s.%N)
  echo "ffmpeg command, -threads $threads: $(echo "$end - $start" | bc) s"
done
