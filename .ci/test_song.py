#!/usr/bin/python3
"""The package check's test song, and what the player made of it.

  test_song.py make SONG.wav   writes the song: its first second at one
                               pitch, the rest at another
  test_song.py heard SOUND.raw [closed]
                               says what SDL's disk audio output recorded;
                               exits 0 once it holds the song whole (each
                               part once, at its pitch and length) and the
                               song has ended: silence follows it, or the
                               device has closed ("closed"); 1 otherwise
"""
import array
import math
import sys
import wave

FIRST_HZ = 440.0
REST_HZ = 880.0
FIRST_SECONDS = 1.0
REST_SECONDS = 2.0
SONG_RATE = 44100
LEVEL = 0.5

# The player asks the device for signed 16-bit stereo at 48 kHz, and the disk
# output records what the device was granted.
HEARD_RATE = 48000
HEARD_CHANNELS = 2
# Judged in stretches this long: long enough to count a pitch to a per cent,
# short enough to time the parts.
WINDOW_SECONDS = 0.05
SILENT_RMS = 0.01
PITCH_TOLERANCE = 0.05
# Each part's length may be off by this much: the encoder's padding, the
# fades and the windows' own grain.
LENGTH_TOLERANCE = 0.15
# A stretch that is neither silence nor a pitch of the song, such as the
# window across the change of pitch, is a transition when at most this long.
TRANSITION_WINDOWS = 2
# While the device is open, the song has ended once this much silence
# follows it.
ENDED_SECONDS = 0.25


def make(path):
    samples = array.array("h")
    total = int((FIRST_SECONDS + REST_SECONDS) * SONG_RATE)
    phase = 0.0
    for i in range(total):
        hz = FIRST_HZ if i < FIRST_SECONDS * SONG_RATE else REST_HZ
        phase += 2 * math.pi * hz / SONG_RATE
        samples.append(int(LEVEL * 32767 * math.sin(phase)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(SONG_RATE)
        out.writeframes(samples.tobytes())


def label(window):
    rms = math.sqrt(sum(s * s for s in window) / len(window)) / 32768
    if rms < SILENT_RMS:
        return "silence"
    # The pitch from the first and last upward zero crossings, interpolated.
    crossings = [i + window[i] / (window[i] - window[i + 1])
                 for i in range(len(window) - 1) if window[i] < 0 <= window[i + 1]]
    if len(crossings) >= 2:
        hz = (len(crossings) - 1) * HEARD_RATE / (crossings[-1] - crossings[0])
        for name, want in (("first", FIRST_HZ), ("rest", REST_HZ)):
            if abs(hz - want) <= want * PITCH_TOLERANCE:
                return name
    return "other"


def runs_of(labels):
    runs = []
    for name in labels:
        if runs and runs[-1][0] == name:
            runs[-1][1] += 1
        else:
            runs.append([name, 1])
    return runs


def heard(path, closed):
    with open(path, "rb") as f:
        raw = f.read()
    data = array.array("h")
    data.frombytes(raw[: len(raw) // (2 * HEARD_CHANNELS) * 2 * HEARD_CHANNELS])
    left = data[::HEARD_CHANNELS]
    size = int(WINDOW_SECONDS * HEARD_RATE)
    runs = runs_of(label(left[i:i + size]) for i in range(0, len(left) - size + 1, size))
    names = {"first": "%g Hz" % FIRST_HZ, "rest": "%g Hz" % REST_HZ}
    print("heard: " + (", ".join("%s %.2f s" % (names.get(name, name), count * WINDOW_SECONDS)
                                 for name, count in runs) or "nothing"))

    # The song is what lies between the first sound and the last; short
    # transitions inside it do not count.
    sounding = [i for i, (name, _) in enumerate(runs) if name != "silence"]
    if not sounding:
        return False
    inside = runs[sounding[0]:sounding[-1] + 1]
    song = runs_of(name for name, count in inside
                   if not (name == "other" and count <= TRANSITION_WINDOWS) for _ in range(count))
    ended = closed or (sounding[-1] < len(runs) - 1 and runs[-1][1] * WINDOW_SECONDS >= ENDED_SECONDS)
    if [name for name, _ in song] != ["first", "rest"]:
        return False
    return ended and all(abs(count * WINDOW_SECONDS - want) <= LENGTH_TOLERANCE
                         for (_, count), want in zip(song, (FIRST_SECONDS, REST_SECONDS)))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "make":
        make(sys.argv[2])
        return 0
    if len(sys.argv) in (3, 4) and sys.argv[1] == "heard":
        return 0 if heard(sys.argv[2], sys.argv[3:] == ["closed"]) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
