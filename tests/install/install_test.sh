#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it the way an engine
# does: a host built out of tree from the pkg-config file loads the
# installed plug-in and opens a medium; zanstream finds the plug-in on its
# own.
#   install_test.sh BUILD_DIR TINY_HOST_SOURCE
set -euo pipefail
build=$1 host_source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; exit 1; }
pc=$(dirname "$(find "$prefix" -name zanffmpeg.pc)")
export PKG_CONFIG_PATH="$pc"

ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=2" -f lavfi -i "testsrc=size=64x48:rate=10:duration=2" \
  -c:a aac -c:v mpeg4 -shortest "$work/medium.mp4"

# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Werror -o "$work/host" "$host_source" $(pkg-config --cflags --libs zanffmpeg)
duration=$("$work/host" "$(pkg-config --variable=plugin zanffmpeg)" "$work/medium.mp4")
echo "tiny host: duration $duration ms"
if [ "$duration" -lt 1900 ] || [ "$duration" -gt 2100 ]; then
  echo "tiny host reported $duration ms for a 2 s medium" >&2
  exit 1
fi

# zanstream, with no --library, from the installed bin folder.
"$prefix/bin/zanstream" plugins
"$prefix/bin/zanstream" probe "$work/medium.mp4" > "$work/probe.txt"
grep -q . "$work/probe.txt"
echo "install test passed"
