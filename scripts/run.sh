#!/usr/bin/env bash
# Launches Cleftone from a build folder. Until the window is built, says what was built.
set -euo pipefail
build_dir=${1:-build}
bin="$build_dir/bin"

if [ -x "$bin/cleftone" ]; then
  exec "$bin/cleftone"
fi

echo "Cleftone's window is not built yet. Built so far, in $bin:"
for program in "$bin"/*; do
  [ -x "$program" ] && [ ! -d "$program" ] && echo "  $(basename "$program")"
done
echo
echo "Strip files or folders from a terminal with:"
echo "  $bin/cleftone-strip [--output-dir DIR] [--include-video] PATH..."
