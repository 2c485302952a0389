#!/usr/bin/env bash
# Launches Cleftone from a build folder: BUILD_DIR, or "build" beside this script's folder.
# Every argument is handed to Cleftone as a file or folder to add, so the launcher itself takes
# none: a folder name passed on by mistake would fill the list before the user did anything.
set -euo pipefail
build_dir=${BUILD_DIR:-$(dirname "$0")/../build}
bin="$build_dir/bin"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "Run Cleftone from a desktop session, or try it headless with:" >&2
  echo "  xvfb-run -a $bin/cleftone" >&2
  echo "Files can also be stripped from a terminal with $bin/cleftone-strip PATH..." >&2
  exit 1
fi
exec "$bin/cleftone" "$@"
