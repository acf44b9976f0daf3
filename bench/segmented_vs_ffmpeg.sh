#!/bin/sh
# Segmented MPEG-TS with two low-bitrate companions, side by side:
# `zanstream transcode FILE --hls DIR` (one decode by the input plug-in,
# three H.264 encodes, one AAC encode whose frames go into every rendition,
# the segmented muxer, the host's playlists) against the ffmpeg command
# making the same three renditions with its HLS muxer (one decode, a split
# into three scaled/rate-reduced branches, three H.264 encodes with the
# same settings, an AAC encode per rendition). Renditions: the main one at
# the source size with the streaming profile's H.264 values (crf 25, refs 1,
# subq 5, me_range 12, ...); a 400 kbit/s companion at the source size and
# rate (quantiser 4..35, step 2, qcomp/qblur 0.5); the 64 kbit/s companion
# at 224x120, 2 fps, no B-frames, one second of look-ahead. Each is run
# several times; the best wall time, CPU time and peak RSS are printed with
# the ratios zanstream / ffmpeg.
#
#   bench/segmented_vs_ffmpeg.sh [BUILD_FOLDER] [MEDIA] [RUNS]
#
# Needs /usr/bin/time (Debian package "time") and python3.
. "$(dirname "$0")/bench_common.sh"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

x264_main="-crf:v:0 25 -qmin:v:0 2 -qmax:v:0 31 -qdiff:v:0 3 -qcomp:v:0 0.8 -qblur:v:0 0.8 -g:v:0 25"
x264_400k="-crf:v:1 51 -qmin:v:1 4 -qmax:v:1 35 -qdiff:v:1 2 -qcomp:v:1 0.5 -qblur:v:1 0.5 -g:v:1 25 -rc-lookahead:v:1 25"
x264_64k="-crf:v:2 51 -qmin:v:2 4 -qmax:v:2 35 -qdiff:v:2 2 -qcomp:v:2 0.5 -qblur:v:2 0.5 -g:v:2 2 -bf:v:2 0 -rc-lookahead:v:2 2"

echo "media: $media ($runs runs each, best of each column)"
results=$(
  measure zanstream "$zanstream" transcode "$media" --hls "$out/zan" --vcodec h264 --acodec aac --abitrate 128000 \
    --set needLowBitrateStream=2 --set lowVideoBitrate1=400000 --set lowVideoBitrate2=64000
  # shellcheck disable=SC2086 # the option lists are split on purpose
  measure ffmpeg ffmpeg -v error -nostdin -y -i "$media" \
    -filter_complex "[0:v]format=yuyv422,format=yuv420p,split=3[main][mid][small];[small]fps=2,scale=224:120[tiny]" \
    -map "[main]" -map 0:a -map "[mid]" -map 0:a -map "[tiny]" -map 0:a \
    -c:v libx264 -refs 1 -subq 5 -me_range 12 -me_method dia -partitions i4x4+p8x8+b8x8 -keyint_min 25 \
    -b-pyramid normal -trellis 0 $x264_main $x264_400k $x264_64k \
    -c:a aac -b:a 128k -ar 48000 -ac 2 \
    -f hls -hls_time 10 -hls_playlist_type vod -var_stream_map "v:0,a:0 v:1,a:1 v:2,a:2" \
    -master_pl_name master.m3u8 -hls_segment_filename "$out/ffmpeg_%v_%d.ts" "$out/ffmpeg_%v.m3u8"
)
report "$results" ffmpeg
