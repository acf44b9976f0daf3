#!/bin/sh
# Whole-program transcoding, side by side: `zanstream transcode FILE -o
# OUT.flv` (the input plug-in decoding to packed YUYV 4:2:2 and integer PCM,
# the encoder stage converting back to 4:2:0 and encoding H.264 + AAC into
# FLV) against the ffmpeg command with exactly the encoder's settings: the
# streaming profile's H.264 values (crf 25, refs 1, subq 5, me_range 12,
# diamond search, partitions i4x4/p8x8/b8x8, GOP of one second, qcomp and
# qblur 0.8, quantiser 2..31 with steps of 3, no trellis) and AAC at
# 128 kbit/s, 44.1 kHz stereo. Each is run several times; the best wall
# time, CPU time (user + sys) and peak RSS are printed with the ratios
# zanstream / ffmpeg (below 1.0: zanstream is faster or smaller).
#
#   bench/transcode_vs_ffmpeg.sh [BUILD_FOLDER] [MEDIA] [RUNS]
#
# Without MEDIA the 10 s 1280x720 H.264 + AAC clip of decode_vs_ffmpeg.sh
# is made (or reused) in BUILD_FOLDER/bench-media.
#
# Needs /usr/bin/time (Debian package "time") and python3.
. "$(dirname "$0")/bench_common.sh"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "media: $media ($runs runs each, best of each column)"
results=$(
  measure zanstream "$zanstream" transcode "$media" -o "$out/zan.flv" --format flv --vcodec h264 --acodec aac \
    --abitrate 128000
  # The same work with the ffmpeg tool, from the same 4:2:2 pictures the
  # input plug-in delivers.
  measure ffmpeg ffmpeg -v error -nostdin -y -i "$media" -vf format=yuyv422,format=yuv420p \
    -c:v libx264 -crf 25 -refs 1 -subq 5 -me_range 12 -me_method dia -partitions i4x4+p8x8+b8x8 \
    -g 25 -keyint_min 25 -b-pyramid normal -qmin 2 -qmax 31 -qdiff 3 -qcomp 0.8 -qblur 0.8 -trellis 0 \
    -c:a aac -b:a 128k -ar 44100 -ac 2 -f flv "$out/ffmpeg.flv"
)
report "$results" ffmpeg
