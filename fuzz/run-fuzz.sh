#!/usr/bin/env bash
# Fuzzes the audio-file service for a bounded time: builds fuzz/AudioFileFuzzer.cpp together
# with src/engine/audiofile/*.cpp under clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, seeds a corpus from the test fixtures, and runs.
#
#   fuzz/run-fuzz.sh [OUTPUT_DIR]        (default: build/fuzz)
#
# Environment: FUZZ_SECONDS (default 60) bounds the run; FUZZ_ARTIFACTS names the folder for
# crash, leak and timeout inputs (default OUTPUT_DIR/findings).
# Exits non-zero on any finding. To replay one:
#   OUTPUT_DIR/audiofile-fuzzer OUTPUT_DIR/findings/crash-...
# FFmpeg itself is the system's uninstrumented library; its memory accesses through our
# buffers are still checked by the sanitizers' interceptors.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=${1:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-60}
artifacts=${FUZZ_ARTIFACTS:-$out/findings}
mkdir -p "$out/objects" "$out/corpus" "$out/seeds" "$artifacts"
out=$(cd "$out" && pwd)

cxx=${CLANGXX:-clang++}
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
ffmpeg_flags=$(pkg-config --cflags libavformat libavcodec libavutil ogg)
ffmpeg_libs=$(pkg-config --libs libavformat libavcodec libavutil ogg)

# Rebuild what is older than its source or than any service header; two compilers at a time.
newest_header=""
for header in "$root"/src/engine/audiofile/*.h; do
    if [ -z "$newest_header" ] || [ "$header" -nt "$newest_header" ]; then
        newest_header=$header
    fi
done
fuzzer="$out/audiofile-fuzzer"
objects=""
running=0
for source in "$here/AudioFileFuzzer.cpp" "$root"/src/engine/audiofile/*.cpp; do
    object="$out/objects/$(basename "$source" .cpp).o"
    objects="$objects $object"
    if [ ! -e "$object" ] || [ "$source" -nt "$object" ] || [ "$newest_header" -nt "$object" ]; then
        echo "compiling $(basename "$source")"
        rm -f "$object" # a failed compile must not leave the old object to be linked
        # shellcheck disable=SC2086
        $cxx $flags $ffmpeg_flags -I "$root/src" -c "$source" -o "$object" &
        running=$((running + 1))
        if [ "$running" -ge 2 ]; then
            wait
            running=0
        fi
    fi
done
wait
for object in $objects; do
    [ -e "$object" ] || { echo "compilation failed: $object" >&2; exit 1; }
    if [ ! -e "$fuzzer" ] || [ "$object" -nt "$fuzzer" ]; then
        rm -f "$fuzzer"
    fi
done
if [ ! -e "$fuzzer" ]; then
    echo "linking $(basename "$fuzzer")"
    # shellcheck disable=SC2086
    $cxx $flags $objects $ffmpeg_libs -o "$fuzzer"
fi

# Seeds: the small real fixtures, and a few tiny files of kinds the fixtures lack, made once.
fixtures="$root/tests/fixtures/audio"
if [ -d "$fixtures" ]; then
    # Named after their path, since ref/ repeats some names of the tagged files.
    find "$fixtures" -type f -size -65k ! -name '*.txt' | while read -r file; do
        relative=${file#"$fixtures"/}
        cp -f "$file" "$out/seeds/fixture_$(echo "$relative" | tr / _)"
    done
fi
# Inputs of past findings, replayed by every run.
for file in "$here"/regressions/*; do
    case "$file" in *.md) continue ;; esac
    [ -f "$file" ] && cp -f "$file" "$out/seeds/regression_$(basename "$file")"
done
generated="$out/seeds/.generated"
if [ ! -e "$generated" ] && command -v ffmpeg >/dev/null 2>&1; then
    echo "making extra seeds with ffmpeg"
    make_seed() {
        name=$1
        shift
        ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:r=8000:d=0.25" "$@" \
            "$out/seeds/$name" || rm -f "$out/seeds/$name"
    }
    make_seed gen_pcm.wav -c:a pcm_s16le
    make_seed gen_adpcm_ms.wav -c:a adpcm_ms
    make_seed gen_alaw.wav -c:a pcm_alaw
    make_seed gen_ima.aifc -c:a adpcm_ima_qt -f aiff
    make_seed gen_pcm.caf -c:a pcm_s24le
    make_seed gen_alaw.caf -c:a pcm_alaw
    make_seed gen_pcm.w64 -c:a pcm_u8
    make_seed gen_pcm.au -c:a pcm_s8
    make_seed gen_mp3.mp3 -c:a libmp3lame -b:a 32k
    make_seed gen_mp1.mp2 -c:a mp2 -b:a 32k
    make_seed gen_aac.m4a -c:a aac -b:a 24k
    make_seed gen_aac.aac -c:a aac -b:a 24k -f adts
    make_seed gen_flac.flac -c:a flac
    make_seed gen_opus.ogg -c:a libopus -ar 48000
    make_seed gen_vorbis.ogg -c:a libvorbis
    make_seed gen_opus.webm -c:a libopus -ar 48000 -f webm
    make_seed gen_live.webm -c:a libopus -ar 48000 -live 1 -f webm
    make_seed gen_vorbis.mka -c:a libvorbis -f matroska
    make_seed gen_flac.oga -c:a flac -f ogg
    make_seed gen_speex.spx -c:a libspeex -ar 16000
    cat "$out/seeds/gen_vorbis.ogg" "$out/seeds/gen_opus.ogg" >"$out/seeds/gen_chained.ogg" || true
    make_seed gen_ac3.ac3 -c:a ac3 -b:a 64k
    make_seed gen_pcm.aiff -c:a pcm_s16be
    make_seed gen_gsm.wav -c:a libgsm_ms -ar 8000
    make_seed gen_wma.wma -c:a wmav2 -b:a 32k
    # No TAK encoder here: a stream of metadata blocks alone, with a stored WAV header (RIFF,
    # fmt, an empty LIST, the data chunk's header) and no trailer, its checksum left at zero.
    printf 'tBaK\x03\x41\x00\x00\x38\x00\x00\x00\x00\x00RIFF\x40\x00\x00\x00WAVE%b%b%b' \
        'fmt \x10\x00\x00\x00\x01\x00\x01\x00\x40\x1f\x00\x00\x80\x3e\x00\x00\x02\x00\x10\x00' \
        'LIST\x04\x00\x00\x00INFOdata\x00\x00\x00\x00' '\x00\x00\x00\x00\x00\x00\x00' \
        >"$out/seeds/gen_stored.tak"
    touch "$generated"
fi

lsan_options=""
if [ -s "$here/lsan.supp" ]; then
    lsan_options="suppressions=$here/lsan.supp"
fi

# The target rewrites its input file for every run; in memory that costs no disk I/O. A crash
# skips the target's own clean-up, so the folder goes away here.
scratch=$(mktemp -d /dev/shm/cleftone-fuzz.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A fixed seed keeps the test's verdict repeatable; set FUZZ_SEED for a longer exploratory run.
echo "fuzzing for $seconds s (seed ${FUZZ_SEED:-1}); findings go to $artifacts/"
status=0
TMPDIR="$scratch" \
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=1:abort_on_error=0" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1" \
LSAN_OPTIONS="${LSAN_OPTIONS:-}:$lsan_options" \
    "$fuzzer" "$out/corpus" "$out/seeds" \
    -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 2>&1 | tee "$out/last-run.log" ||
    status=$?

if [ "$status" -ne 0 ]; then
    # A test log keeps the head and tail of a long run and may drop what came between: the
    # finding is repeated here, at the end, with its input, so that it can be replayed.
    echo "audiofile fuzzing found a problem (exit $status); inputs in $artifacts/" >&2
    grep -E -A12 "contract violated|ERROR: |runtime error|deadly signal|out-of-memory|timeout" \
        "$out/last-run.log" | head -60 >&2 || true
    unit=$(sed -n "s/.*Test unit written to \(.*\)$/\1/p" "$out/last-run.log" | tail -n 1)
    if [ -n "$unit" ] && [ -f "$unit" ] && [ "$(stat -c %s "$unit")" -le 16384 ]; then
        echo "the input, base64 (replay: base64 -d > unit && $fuzzer unit):" >&2
        base64 -w 0 "$unit" >&2
        echo >&2
    fi
fi
exit "$status"
