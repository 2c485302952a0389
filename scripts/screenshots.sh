#!/usr/bin/env bash
# Renders docs/screenshots/main-window.png (with the Metadata column and the inspector),
# error-log.png and settings.png from the real windows, on a virtual X display so that no
# desktop is needed and the pictures do not depend on one.
#
#   scripts/screenshots.sh [BUILD-DIR]     (default: build-shots; OUTPUT_DIR=... to write elsewhere)
#
# Builds the cleftone-screenshots target when it is missing or out of date. Needs xvfb-run
# (Debian package xvfb), ffmpeg (which makes the listed audio files) and the benchmarks/tools
# enabled in the build (CLEFTONE_BUILD_BENCH=ON, the default).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$repo/build-shots}
output_dir=${OUTPUT_DIR:-$repo/docs/screenshots}
program="$build_dir/tools/screenshots/cleftone-screenshots"

if ! command -v xvfb-run >/dev/null; then
  echo "screenshots.sh: xvfb-run is missing (sudo apt-get install xvfb)" >&2
  exit 1
fi
if ! command -v ffmpeg >/dev/null; then
  echo "screenshots.sh: ffmpeg is missing (sudo apt-get install ffmpeg)" >&2
  exit 1
fi

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build_dir" -DCLEFTONE_WERROR=ON -DCLEFTONE_BUILD_TESTS=OFF \
    -DCLEFTONE_BUILD_BENCH=ON >/dev/null
fi
if grep -q '^CLEFTONE_BUILD_BENCH:BOOL=OFF' "$build_dir/CMakeCache.txt"; then
  echo "screenshots.sh: $build_dir was configured with CLEFTONE_BUILD_BENCH=OFF;" \
    "reconfigure with -DCLEFTONE_BUILD_BENCH=ON or use another build folder" >&2
  exit 1
fi
# Always asked: the build is a no-op when nothing changed, and a stale window must not be shown.
cmake --build "$build_dir" --target cleftone-screenshots -j"$(nproc)"

mkdir -p "$output_dir"
runtime_dir=$(mktemp -d)
trap 'rm -rf "$runtime_dir"' EXIT
# A clean environment for the program: no desktop theme or scaling from the caller's session.
env -u QT_STYLE_OVERRIDE -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS -u QT_QPA_PLATFORMTHEME \
  QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 TZ=UTC XDG_RUNTIME_DIR="$runtime_dir" \
  xvfb-run -a -s "-screen 0 1280x900x24 -dpi 96" "$program" "$output_dir"
