// The mix the audio callback runs, and what it learns from the output.
#pragma once

#include <cstdint>

#include "playback/system.h"

// Fills out (bytes long, in the output's format) with the mix of the song
// playing and the one fading out. What the output's callback runs; no I/O,
// no locks, no allocation.
void audio_mix(AudioSystem* audio, uint8_t* out, int bytes);
// The listener has heard the mix up to output frame heard: sounds heard to
// their end are done, the history may let go of what lies behind, and the
// caller is told once the output may close. Callback.
void mix_heard(AudioSystem* audio, int64_t heard);
// A new output stream starts from its first frame: nothing written, nothing
// heard, nothing to take back. Callback, or the caller while no callback runs.
void mix_restart(AudioSystem* audio);
// Whether the output is open and may close: nothing has sounded for the
// linger time, and nothing plays but what is paused. Any thread.
bool mix_may_close(const AudioSystem* audio);
