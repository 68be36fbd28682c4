// The mix the audio callback runs over the engine's channels.
#pragma once

#include <cstdint>

#include "playback/engine.h"

// Fills out (bytes long, in the output's format) with the mix of every
// channel. What the SDL callback runs; no I/O, no locks, no allocation.
void audio_mix(AudioSystem* audio, uint8_t* out, int bytes);
