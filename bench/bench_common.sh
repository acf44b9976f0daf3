# Shared by the whole-program benchmarks: checks the tools, makes (or
# reuses) the 10 s 1280x720 H.264 + AAC clip unless MEDIA is given, and
# defines measure. Sourced with the caller's arguments:
#   BUILD_FOLDER [MEDIA] [RUNS]
set -eu
build=${1:-build}
runs=${3:-3}
zanstream="$build/bin/zanstream"
[ -x "$zanstream" ] || { echo "build zanstream (and libzanffmpeg.so) in $build first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

if [ $# -ge 2 ] && [ -n "$2" ]; then
  media=$2
else
  mkdir -p "$build/bench-media"
  media="$build/bench-media/decode_720p_h264_aac.mp4"
  if [ ! -s "$media" ]; then
    echo "making $media"
    ffmpeg -v error -nostdin -y \
      -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 \
      -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 \
      -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p \
      -c:a aac -ac 2 -b:a 128k "$media.part.mp4"
    mv "$media.part.mp4" "$media"
  fi
fi

# measure NAME COMMAND...: runs COMMAND $runs times under /usr/bin/time and
# prints "NAME WALL_S CPU_S RSS_KIB" with the best of each, then the
# median of each in the same order.
measure() {
  name=$1; shift
  log=$(mktemp)
  i=0
  while [ $i -lt "$runs" ]; do
    /usr/bin/time -a -o "$log" -f "%e %U %S %M" "$@" > /dev/null 2> /dev/null || {
      echo "$name failed: $*" >&2; rm -f "$log"; exit 1; }
    i=$((i + 1))
  done
  python3 - "$name" "$log" <<'EOF'
import statistics, sys
name, log = sys.argv[1], sys.argv[2]
rows = [line.split() for line in open(log) if line.strip() and line.split()[0][0].isdigit()]
walls = [float(r[0]) for r in rows]
cpus = [float(r[1]) + float(r[2]) for r in rows]
rsss = [int(r[3]) for r in rows]
print(f"{name} {min(walls):.3f} {min(cpus):.3f} {min(rsss)} "
      f"{statistics.median(walls):.3f} {statistics.median(cpus):.3f} {int(statistics.median(rsss))}")
EOF
  rm -f "$log"
}

# report RESULTS REFERENCE...: the table of measure's lines (best, then
# median), then the ratios of the best zanstream / REFERENCE for each
# reference named.
report() {
  python3 - "$@" <<'EOF'
import sys
rows = {r.split()[0]: [float(x) for x in r.split()[1:]] for r in sys.argv[1].splitlines()}
print(f"{'':20}{'wall s':>9}{'cpu s':>9}{'peak RSS MiB':>14}   median:{'wall s':>8}{'cpu s':>9}{'RSS MiB':>9}")
for name, row in rows.items():
    wall, cpu, rss = row[:3]
    median = row[3:6]
    print(f"{name:20}{wall:9.3f}{cpu:9.3f}{rss / 1024:14.1f}          {median[0]:8.3f}{median[1]:9.3f}{median[2] / 1024:9.1f}")
z = rows["zanstream"]
for reference in sys.argv[2:]:
    f = rows[reference]
    print(f"zanstream / {reference:20} wall {z[0] / f[0]:.3f}  cpu {z[1] / f[1]:.3f}  rss {z[2] / f[2]:.3f}")
EOF
}
