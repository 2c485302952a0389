#!/usr/bin/env bash
# Installs the Debian packages that Cleftone needs to build, run and test.
# Quick and silent when everything is already there.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config clang libclang-rt-14-dev clang-format
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-l10n-tools
  libavformat-dev libavcodec-dev libavutil-dev libogg-dev
  libgtest-dev libgmock-dev
  # run time
  mp3val libqt6svg6
  # tests: real encoders, taggers and readers for the audio fixtures
  ffmpeg lame flac id3v2 python3 python3-mutagen atomicparsley sox mkvtoolnix
  vorbis-tools opus-tools speex wavpack musepack-tools
  xvfb
  # tests: a FAT file system mounted through FUSE, as USB sticks and phones are
  fusefat dosfstools fuse
  # tests: the order of flushes and renames a commit makes
  strace
  # packaging (cpack -G DEB) and checks of the package, manual pages, desktop entry and
  # AppStream data
  dpkg-dev file desktop-file-utils appstream lintian man-db groff-base
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
