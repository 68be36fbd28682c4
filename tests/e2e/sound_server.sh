#!/usr/bin/env bash
# Runs a private sound server for the whole-program tests and the bench:
# PulseAudio, or PipeWire as a desktop runs it (the server, WirePlumber to
# link streams to sinks and pipewire-pulse to speak PulseAudio's protocol, on
# a D-Bus session bus of their own), with a null sink at 48 kHz as its
# default sink: it plays in real time, and its monitor carries exactly what
# left the server.
#
#   sound_server.sh pulseaudio|pipewire DIR SINK
#
# DIR, a folder of the caller's, is the server's runtime folder and home:
# clients reach it at unix:DIR/pulse/native, and it neither meets nor
# disturbs any other server on the machine, the desktop's included. Once the
# server answers with SINK as its default sink, prints "ready PID..." on
# standard output: the process that speaks PulseAudio's protocol first, then
# the server's other processes. Runs until TERM or INT, or until one of them
# ends, which it notes in DIR/log as "NAME (pid PID) ended with status N"
# before it ends the others and exits with status 1. Each process gets
# SIGKILL when this script dies, so none outlives a killed caller.
set -uo pipefail

kind=${1:?usage: sound_server.sh pulseaudio|pipewire DIR SINK}
dir=${2:?usage: sound_server.sh pulseaudio|pipewire DIR SINK}
sink=${3:?usage: sound_server.sh pulseaudio|pipewire DIR SINK}
log="$dir/log"
mkdir -p "$dir"
chmod 700 "$dir"

names=()
pids=()
end_all() {
    kill "${pids[@]}" 2>/dev/null
    wait 2>/dev/null
}
trap 'end_all; exit 0' TERM INT

# Nothing of the caller's environment reaches the servers: no desktop
# session bus, display, runtime folder, PULSE_* or PIPEWIRE_* setting.
private=(env -i PATH="$PATH" HOME="$dir" XDG_RUNTIME_DIR="$dir" XDG_CONFIG_HOME="$dir/config"
    XDG_STATE_HOME="$dir/state" XDG_DATA_HOME="$dir/data" XDG_CACHE_HOME="$dir/cache")
address="unix:$dir/pulse/native"

run() {
    local name=$1
    shift
    setpriv --pdeathsig KILL "${private[@]}" "$@" >>"$log" 2>&1 &
    names+=("$name")
    pids+=("$!")
}

ask() { "${private[@]}" PULSE_SERVER="$address" "$@" 2>/dev/null; }

# Waits up to 10 s for a condition, giving up when a process has ended.
await() {
    local pid
    for _ in $(seq 100); do
        "$@" && return 0
        for pid in "${pids[@]}"; do
            kill -0 "$pid" 2>/dev/null || return 1
        done
        sleep 0.1
    done
    return 1
}

default_sink_is_ours() { ask pactl info | grep -q -x "Default Sink: $sink"; }

case $kind in
pulseaudio)
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=$sink rate=48000 channels=2
set-default-sink $sink
PA
    run pulseaudio pulseaudio -n -F "$dir/server.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no
    ;;
pipewire)
    # WirePlumber leaves the machine's sound cards, cameras and Bluetooth to
    # the desktop's own server.
    mkdir -p "$dir/config/wireplumber/main.lua.d" "$dir/config/wireplumber/bluetooth.lua.d"
    printf '%s\n' 'alsa_monitor.enabled = false' 'v4l2_monitor.enabled = false' \
        'libcamera_monitor.enabled = false' >"$dir/config/wireplumber/main.lua.d/51-private.lua"
    echo 'bluez_monitor.enabled = false' >"$dir/config/wireplumber/bluetooth.lua.d/51-private.lua"
    # A restart on the same folder must not read the last bus's address.
    rm -f "$dir/bus"
    run dbus-daemon dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$dir/bus"
    await test -s "$dir/bus" || { echo "dbus-daemon did not start" >>"$log"; end_all; exit 1; }
    private+=(DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$dir/bus")")
    run pipewire pipewire
    await test -S "$dir/pipewire-0" || { echo "pipewire did not start" >>"$log"; end_all; exit 1; }
    run wireplumber wireplumber
    run pipewire-pulse pipewire-pulse
    await ask pactl info >/dev/null || { echo "pipewire-pulse did not start" >>"$log"; end_all; exit 1; }
    ask pactl load-module module-null-sink sink_name="$sink" rate=48000 channels=2 >/dev/null
    # WirePlumber takes the default sink from pipewire-pulse once it is up.
    await eval 'ask pactl set-default-sink "$sink"; default_sink_is_ours'
    ;;
*)
    echo "usage: sound_server.sh pulseaudio|pipewire DIR SINK" >&2
    exit 2
    ;;
esac

if ! await default_sink_is_ours; then
    echo "the server did not come up with $sink as its default sink" >>"$log"
    end_all
    exit 1
fi

# The protocol's speaker first.
last=$((${#pids[@]} - 1))
echo "ready ${pids[$last]} ${pids[*]:0:$last}"

ended=0
wait -n -p ended
status=$?
for i in "${!pids[@]}"; do
    [ "${pids[$i]}" = "$ended" ] && echo "${names[$i]} (pid $ended) ended with status $status" >>"$log"
done
end_all
exit 1
