#!/usr/bin/env bash
# Compares two builds of cleftone-strip on the same large files, in place, against the floor
# (cp of the file plus an fsync of the copy): a before-and-after measurement from one machine.
# The candidates run in turn for each repeat, each on a fresh copy of the source made just
# before it, and the medians are printed with their ratios.
#
#   bench/compare-builds.sh BEFORE_STRIP AFTER_STRIP FILE... [-- REPEATS]
#
# The files are the large sources that cleftone-bench-strip makes (in ~/.cache/cleftone-bench).
set -euo pipefail

if [ $# -lt 3 ]; then
    sed -n '2,9p' "$0" >&2
    exit 2
fi
before=$1
after=$2
shift 2
files=()
repeats=5
while [ $# -gt 0 ]; do
    if [ "$1" = "--" ]; then
        repeats=$2
        break
    fi
    files+=("$1")
    shift
done

scratch=$(mktemp -d "${TMPDIR:-/var/tmp}/cleftone-compare.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

now() { date +%s.%N; }

# Seconds that one candidate takes on a fresh copy of $1.
run() {
    local source=$1 candidate=$2 name start end
    name="$scratch/$(basename "$source")"
    rm -f "$name" "$scratch/floor"
    cp "$source" "$name"
    sync "$name"
    start=$(now)
    case "$candidate" in
    floor) cp "$name" "$scratch/floor" && sync "$scratch/floor" ;;
    *) "$candidate" -q "$name" >/dev/null ;;
    esac
    end=$(now)
    awk -v a="$end" -v b="$start" 'BEGIN { print a - b }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print a / b }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-28s %9s %9s %9s %14s %14s\n' "file (in place)" before after "cp+fsync" "before/floor" "after/floor"
for source in "${files[@]}"; do
    : >"$scratch/before.times"
    : >"$scratch/after.times"
    : >"$scratch/floor.times"
    for _ in $(seq "$repeats"); do
        run "$source" "$before" >>"$scratch/before.times"
        run "$source" "$after" >>"$scratch/after.times"
        run "$source" floor >>"$scratch/floor.times"
    done
    b=$(median <"$scratch/before.times")
    a=$(median <"$scratch/after.times")
    f=$(median <"$scratch/floor.times")
    printf '%-28s %9.2f %9.2f %9.2f %14.2f %14.2f\n' "$(basename "$source")" "$b" "$a" "$f" \
        "$(ratio "$b" "$f")" "$(ratio "$a" "$f")"
done
