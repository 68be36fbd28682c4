#!/bin/sh
# Regenerates the sample songs in music/: composes them as WAV with the
# compose_music tool, then encodes each with lame at the bit rate the tool
# names. Usage: tools/make_music.sh [BUILD_DIR]   (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
cmake --build "$build" --target compose_music >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/compose_music" "$work" > "$work/songs.txt"
while read -r name kbps; do
    lame --quiet --noreplaygain -b "$kbps" --tt "$name" --ta "Klamor" --tl "Drumble Maker BOX samples" \
        "$work/$name.wav" "$root/music/$name.mp3"
done < "$work/songs.txt"
ls -l "$root"/music/*.mp3
