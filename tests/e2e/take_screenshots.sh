#!/bin/sh
# Photographs both views of the player, with the shipped songs listed, and
# the browser again with a folder of names in many scripts, for the README:
# docs/player.png, docs/browser.png and docs/browser_scripts.png. Run by hand
# after a build:
#   tests/e2e/take_screenshots.sh [BUILD_DIR]   (default: build)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
player="$(cd "${1:-$root/build}" && pwd)/klamor"
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

wait_for() { # command... : retries for up to 20 s
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 200 ] || { echo "gave up waiting for: $*" >&2; exit 1; }
        sleep 0.1
    done
}
wait_for xdotool search --pid "$player_pid"
window=$(xdotool search --pid "$player_pid" | head -n 1)
# Focus once for good: SDL ignores a click that closely follows a focus change.
xdotool windowfocus "$window"
xdotool mousemove --window "$window" 200 40
sleep 0.5
import -window "$window" "$root/docs/player.png"

# Clicks open, waits for the browser, and photographs it into docs/$1.
shoot_browser() {
    xdotool mousemove --window "$window" 112 115
    sleep 0.3
    xdotool click 1
    wait_for sh -c "xwininfo -id $window | grep -q 'Width: 700'"
    xdotool mousemove --window "$window" 200 40
    sleep 0.5
    import -window "$window" "$root/docs/$1"
}
shoot_browser browser.png

# Back to the player, a folder of names from around the world, open again.
xdotool mousemove --window "$window" 670 80
sleep 0.3
xdotool click 1
wait_for sh -c "xwininfo -id $window | grep -q 'Width: 300'"
rm "$work"/music/*
for name in "Björk - Jóga" "Ñandú" "Sơn Tùng" "Ελλάδα" "Ήλιος" "Звезда" "Кино" "Весна" \
    "周杰伦" "晴天" "月亮代表" "丸の内" "ヒカル" "さくら" "봄날" "아이유" "좋은 날"; do
    : > "$work/music/$name.mp3"
done
shoot_browser browser_scripts.png
echo "wrote docs/player.png, docs/browser.png and docs/browser_scripts.png"
