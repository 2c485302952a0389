#!/usr/bin/env bash
# `make run` must start Cleftone with exactly the arguments the user typed: a stub program in a
# stand-in build folder records what the launcher hands it.
set -euo pipefail
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin"
printf '#!/bin/sh\nfor a; do printf "[%%s]" "$a"; done > "%s/argv"\n' "$stage" >"$stage/bin/cleftone"
chmod +x "$stage/bin/cleftone"
export QT_QPA_PLATFORM=offscreen

# -o build: use the stand-in folder as it is instead of configuring and building it.
make -s -C "$1" -o build run BUILD_DIR="$stage"
[ "$(cat "$stage/argv")" = "" ] || { echo "make run passed '$(cat "$stage/argv")'" >&2; exit 1; }
BUILD_DIR="$stage" "$1/scripts/run.sh" "a b" c
[ "$(cat "$stage/argv")" = "[a b][c]" ] || { echo "run.sh passed '$(cat "$stage/argv")'" >&2; exit 1; }
