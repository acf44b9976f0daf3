#!/bin/sh
# Whole-program decoding, side by side: `zanstream decode FILE` (the input
# plug-in decoding every picture to packed YUYV 4:2:2 and the sound to
# signed 32-bit PCM, the frames handed to the host and dropped) against the
# ffmpeg command a user would run for the same work. Each is run several
# times; the best wall time, CPU time (user + sys) and peak RSS of the runs
# are printed with the ratios zanstream / ffmpeg (below 1.0: zanstream is
# faster or smaller).
#
#   bench/decode_vs_ffmpeg.sh [BUILD_FOLDER] [MEDIA] [RUNS]
#
# Without MEDIA a 10 s 1280x720 H.264 + AAC clip is made once into
# BUILD_FOLDER/bench-media with:
#
#   ffmpeg -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 \
#          -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 \
#          -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p \
#          -c:a aac -ac 2 -b:a 128k decode_720p_h264_aac.mp4
#
# Needs /usr/bin/time (Debian package "time") and python3.
. "$(dirname "$0")/bench_common.sh"

echo "media: $media ($runs runs each, best of each column)"
results=$(
  measure zanstream "$zanstream" decode "$media"
  # The same work with the ffmpeg tool: every picture converted to packed
  # YUYV 4:2:2 (bicubic, as the plug-in scales) and the sound to signed
  # 32-bit PCM, then dropped by the null muxer.
  measure ffmpeg ffmpeg -v error -nostdin -i "$media" -pix_fmt yuyv422 -sws_flags bicubic -c:a pcm_s32le -f null -
  measure ffmpeg-threads1 ffmpeg -v error -nostdin -threads 1 -i "$media" -pix_fmt yuyv422 -sws_flags bicubic \
    -c:a pcm_s32le -f null -
)
report "$results" ffmpeg ffmpeg-threads1
