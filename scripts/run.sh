#!/usr/bin/env bash
# Launches Cleftone from a build folder.
set -euo pipefail
build_dir=${1:-build}
bin="$build_dir/bin"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "Run Cleftone from a desktop session, or try it headless with:" >&2
  echo "  xvfb-run -a $bin/cleftone" >&2
  echo "Files can also be stripped from a terminal with $bin/cleftone-strip PATH..." >&2
  exit 1
fi
exec "$bin/cleftone" "$@"
