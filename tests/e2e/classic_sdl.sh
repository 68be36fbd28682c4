#!/bin/sh
# Runs the command given with the player on Debian's classic SDL 1.2:
#   classic_sdl.sh FOLDER LIBRARY_SUBFOLDER COMMAND...
# The release's libsdl1.2debian is downloaded with apt-get once, kept in
# FOLDER and unpacked there; the command gets its library folder in
# KLAMOR_PLAYER_LIBRARY_PATH. Since Debian 13, libsdl1.2debian is built from
# sdl12-compat, the library every other test runs on: a run on it would prove
# nothing, so the command is skipped (status 77) when the package's source
# is not classic SDL's own.
set -eu
SKIPPED=77
into=$1
library=$2
shift 2
mkdir -p "$into"
deb=$(find "$into" -maxdepth 1 -name 'libsdl1.2debian_*.deb' | head -n 1)
if [ -z "$deb" ]; then
    download=$(mktemp -d)
    trap 'rm -rf "$download"' EXIT
    if ! (cd "$download" && apt-get download libsdl1.2debian >log 2>&1); then
        cat "$download/log" >&2
        echo "classic_sdl: cannot download libsdl1.2debian with apt-get" >&2
        exit 1
    fi
    mv "$download"/libsdl1.2debian_*.deb "$into/"
    # The exec below would skip the trap.
    rm -rf "$download"
    trap - EXIT
    deb=$(find "$into" -maxdepth 1 -name 'libsdl1.2debian_*.deb' | head -n 1)
fi
# A binary package built with its source's own version names the source
# alone; otherwise "name (version)".
source=$(dpkg-deb -f "$deb" Source)
source=${source%% *}
if [ "$source" != libsdl1.2 ]; then
    echo "classic_sdl: skipped: this release has no classic SDL 1.2: its libsdl1.2debian is built from ${source:-an unnamed source}"
    exit $SKIPPED
fi
if [ ! -d "$into/root" ]; then
    rm -rf "$into/root.part"
    dpkg -x "$deb" "$into/root.part"
    mv "$into/root.part" "$into/root"
fi
KLAMOR_PLAYER_LIBRARY_PATH=$into/root/$library
export KLAMOR_PLAYER_LIBRARY_PATH
exec "$@"
