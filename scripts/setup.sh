#!/usr/bin/env bash
# Installs every Debian package the project needs (only when something is
# missing), then configures and builds.
#
#   scripts/setup.sh            the normal build in build/
#   scripts/setup.sh --asan     also the AddressSanitizer + UBSan build in build-asan/
#   scripts/setup.sh --tsan     also the ThreadSanitizer build in build-tsan/
#   scripts/setup.sh --release  also a Release build (-O3) in build-release/
#   scripts/setup.sh --all      all four
#   scripts/setup.sh --fuzz     also clang and the libFuzzer targets in build-fuzz/
#
# Safe to run again: packages already present are not touched, builds are
# incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config binutils
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  libopencore-amrnb-dev libvo-amrwbenc-dev
  ffmpeg
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  qt6-base-dev
  libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  curl python3 time openssl
)

for argument in "$@"; do
  # clang's libFuzzer runtime lives in libclang-rt-14-dev.
  if [ "$argument" = --fuzz ]; then PACKAGES+=(clang libclang-rt-14-dev); fi
done

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

want_asan=0
want_tsan=0
want_fuzz=0
want_release=0
for argument in "$@"; do
  case "$argument" in
    --asan) want_asan=1 ;;
    --tsan) want_tsan=1 ;;
    --release) want_release=1 ;;
    --all) want_asan=1; want_tsan=1; want_release=1 ;;
    --fuzz) want_fuzz=1 ;;
    *) echo "setup: unknown option $argument" >&2; exit 2 ;;
  esac
done

jobs=$(nproc 2>/dev/null || echo 2)
# Every build folder's tests and fuzz seeds share one set of test media.
media="-DZAN_TEST_MEDIA_DIR=$PWD/build/test-media"

# build FOLDER TARGET [CMAKE OPTIONS...]
# Warnings are errors in every build made here (the project's own builds
# and CI); a user's plain cmake build only shows them.
build() {
  local folder=$1 target=$2; shift 2
  cmake -S . -B "$folder" -G Ninja -DZAN_WERROR=ON "$@" > "$folder.configure.log" 2>&1 || { cat "$folder.configure.log"; exit 1; }
  echo "setup: building $folder ($target)"
  cmake --build "$folder" -j "$jobs" --target "$target"
}

mkdir -p build
build build all -DCMAKE_BUILD_TYPE=RelWithDebInfo "$media"
if [ $want_asan -eq 1 ]; then
  mkdir -p build-asan
  build build-asan all -DCMAKE_BUILD_TYPE=Debug "-DZAN_SANITIZE=address,undefined" "$media"
fi
if [ $want_release -eq 1 ]; then
  # Only built, to prove the optimiser's warnings (GCC at -O3 sees more
  # than at -O2) leave the build alone; the tests run in the other builds.
  mkdir -p build-release
  build build-release all -DCMAKE_BUILD_TYPE=Release -DZAN_BENCHMARKS=OFF "$media"
fi
if [ $want_tsan -eq 1 ]; then
  mkdir -p build-tsan
  # Only the tests that run under ThreadSanitizer.
  build build-tsan zan_threaded_tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAN_SANITIZE=thread "$media"
fi
if [ $want_fuzz -eq 1 ]; then
  mkdir -p build-fuzz
  CC=clang CXX=clang++ build build-fuzz zan_fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAN_FUZZ=ON "$media"
fi
