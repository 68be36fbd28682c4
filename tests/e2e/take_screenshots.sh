#!/bin/sh
# Photographs both views of the player, with the shipped songs listed, and
# the browser again with a folder of names in many scripts, for the README:
# docs/player.png, docs/browser.png and docs/browser_scripts.png. Run by hand
# after a build:
#   tests/e2e/take_screenshots.sh [BUILD_DIR]   (default: build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$(cd "${1:-$root/build}" && pwd)"
player="$build/klamor"
# Finds the window and clicks as a person would: the tests' X toolkit.
xprobe="$build/tests/xprobe"
work=$(mktemp -d)
xvfb_pid=""
player_pid=""
finish() {
    # The player first, so that it does not see its X server go away.
    if [ -n "$player_pid" ]; then kill "$player_pid" 2>/dev/null || true; wait "$player_pid" || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" || true; fi
    rm -rf "$work"
}
trap finish EXIT

# A working directory like the player's own, with the shipped music.
mkdir -p "$work/skins" "$work/music" "$work/temp"
ln -s "$root/skins/used" "$work/skins/used"
ln -s "$root/GeosansLight.ttf" "$work/GeosansLight.ttf"
for song in "$root"/music/*.mp3; do ln -s "$song" "$work/music/"; done

# Wide enough that the browser window, grown from the centred player window,
# stays on screen.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
read -r number < "$work/display"
export DISPLAY=":$number"

(cd "$work" && SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=dummy exec "$player") &
player_pid=$!

# Photographs the window, once the view named is shown and the pointer rests
# over no button, into docs/$2.
shoot() {
    window=$("$xprobe" window "$player_pid" "$1")
    "$xprobe" move "$player_pid" rest
    sleep 0.5
    import -window "$window" "$root/docs/$2"
}
shoot player player.png
"$xprobe" click "$player_pid" open
shoot browser browser.png

# Back to the player, a folder of names from around the world, open again.
"$xprobe" click "$player_pid" back
"$xprobe" wait "$player_pid" player
rm "$work"/music/*
for name in "Björk - Jóga" "Ñandú" "Sơn Tùng" "Ελλάδα" "Ήλιος" "Звезда" "Кино" "Весна" \
    "周杰伦" "晴天" "月亮代表" "丸の内" "ヒカル" "さくら" "봄날" "아이유" "좋은 날"; do
    : > "$work/music/$name.mp3"
done
"$xprobe" click "$player_pid" open
shoot browser browser_scripts.png
echo "wrote docs/player.png, docs/browser.png and docs/browser_scripts.png"
