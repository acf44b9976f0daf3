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
# prints "NAME WALL_S CPU_S RSS_KIB" with the best of each.
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
import sys
name, log = sys.argv[1], sys.argv[2]
rows = [line.split() for line in open(log) if line.strip() and line.split()[0][0].isdigit()]
wall = min(float(r[0]) for r in rows)
cpu = min(float(r[1]) + float(r[2]) for r in rows)
rss = min(int(r[3]) for r in rows)
print(f"{name} {wall:.3f} {cpu:.3f} {rss}")
EOF
  rm -f "$log"
}

# report RESULTS REFERENCE...: the table of measure's lines, then the ratios
# zanstream / REFERENCE for each reference named.
report() {
  python3 - "$@" <<'EOF'
import sys
rows = {r.split()[0]: [float(x) for x in r.split()[1:]] for r in sys.argv[1].splitlines()}
print(f"{'':18}{'wall s':>9}{'cpu s':>9}{'peak RSS MiB':>14}")
for name, (wall, cpu, rss) in rows.items():
    print(f"{name:18}{wall:9.3f}{cpu:9.3f}{rss / 1024:14.1f}")
z = rows["zanstream"]
for reference in sys.argv[2:]:
    f = rows[reference]
    print(f"zanstream / {reference:15} wall {z[0] / f[0]:.3f}  cpu {z[1] / f[1]:.3f}  rss {z[2] / f[2]:.3f}")
EOF
}
