#!/bin/sh
# Unpacks Debian's classic SDL 1.2 (libsdl1.2debian, which sdl12-compat
# replaces) under the folder given, for the playback test that runs the
# player on it; kept there for later runs.
set -eu
into=$1
if [ -n "$(find "$into" -name 'libSDL-1.2.so.0' 2>/dev/null)" ]; then
    exit 0
fi
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
if ! (cd "$download" && apt-get download libsdl1.2debian >log 2>&1); then
    cat "$download/log" >&2
    echo "classic_sdl: cannot download libsdl1.2debian with apt-get" >&2
    exit 1
fi
dpkg -x "$download"/libsdl1.2debian_*.deb "$into"
