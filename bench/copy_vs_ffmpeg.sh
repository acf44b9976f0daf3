#!/bin/sh
# Stream copy, side by side: `zanstream transcode FILE --vcodec copy
# --acodec copy` (the input plug-in reading compressed packets, the encoder
# stage muxing them as they are) against `ffmpeg -c copy` into the same
# container, for FLV, MPEG-TS and HLS (ffmpeg's hls muxer cutting at 10 s,
# as the segmented muxer does). Our own transcode of the same file into
# FLV (decoding and encoding again) is measured too, for what copying
# saves. Each command runs RUNS times; best and median wall time, CPU time
# (user + sys) and peak RSS are printed, then the ratios of the best times
# zanstream / ffmpeg (below 1.0: zanstream is faster or smaller).
#
#   bench/copy_vs_ffmpeg.sh [BUILD_FOLDER] [MEDIA] [RUNS]
#
# Without MEDIA a 60 s 1280x720 H.264 High (B-frames) + AAC MP4 is made
# (or reused) in BUILD_FOLDER/bench-media.
#
# Needs /usr/bin/time (Debian package "time") and python3.
set -eu
build=${1:-build}
media=${2:-}
if [ -z "$media" ]; then
  mkdir -p "$build/bench-media"
  media="$build/bench-media/copy_60s_720p_h264high_aac.mp4"
  if [ ! -s "$media" ]; then
    echo "making $media"
    ffmpeg -v error -nostdin -y \
      -f lavfi -i testsrc2=size=1280x720:rate=25:duration=60 \
      -f lavfi -i sine=frequency=440:sample_rate=48000:duration=60 \
      -c:v libx264 -profile:v high -preset veryfast -bf 3 -g 50 -pix_fmt yuv420p \
      -c:a aac -ac 2 -b:a 128k "$media.part.mp4"
    mv "$media.part.mp4" "$media"
  fi
fi
# (POSIX sh's "." passes no arguments of its own: the script's are set.)
set -- "$build" "$media" "${3:-3}"
. "$(dirname "$0")/bench_common.sh"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "media: $media ($runs runs each)"
for format in flv mpegts hls; do
  echo
  echo "== $format"
  mkdir -p "$out/ff"
  if [ "$format" = hls ]; then
    zan_out="--hls $out/zan"
    ffmpeg_out="-f hls -hls_time 10 -hls_list_size 0 -hls_segment_filename $out/ff/seg-%d.ts $out/ff/main.m3u8"
  else
    zan_out="-o $out/zan.$format --format $format"
    ffmpeg_out="-f $format $out/ff/out.$format"
  fi
  results=$(
    # The output options are words: unquoted on purpose.
    measure zanstream "$zanstream" transcode "$media" $zan_out --vcodec copy --acodec copy
    measure ffmpeg ffmpeg -v error -nostdin -y -i "$media" -c copy $ffmpeg_out
    if [ "$format" = flv ]; then
      measure zanstream-transcode "$zanstream" transcode "$media" -o "$out/zan-transcoded.flv" --format flv
    fi
  )
  if [ "$format" = flv ]; then report "$results" ffmpeg zanstream-transcode; else report "$results" ffmpeg; fi
done
