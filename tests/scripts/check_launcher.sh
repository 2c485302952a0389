#!/usr/bin/env bash
# `make run` must start Cleftone with exactly the arguments the user typed: a stub program in a
# stand-in build folder records what the launcher hands it.
set -euo pipefail
source_dir=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin"
printf '#!/bin/sh\nfor a; do printf "[%%s]" "$a"; done > "%s/argv"\n' "$stage" > "$stage/bin/cleftone"
chmod +x "$stage/bin/cleftone"

check() {
  local expected=$1 got
  got=$(cat "$stage/argv")
  if [ "$got" != "$expected" ]; then
    echo "launcher passed '$got', expected '$expected'" >&2
    exit 1
  fi
}

# -o build: use the stand-in folder as it is instead of configuring and building it.
QT_QPA_PLATFORM=offscreen make -s -C "$source_dir" -o build run BUILD_DIR="$stage"
check ""
QT_QPA_PLATFORM=offscreen BUILD_DIR="$stage" "$source_dir/scripts/run.sh" "a b" c
check "[a b][c]"
