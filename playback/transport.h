// The player's transport: play, pause and stop clicks over the audio engine.
#pragma once

#include "app/state.h"
#include "playback/engine.h"

// The number of channels the engine mixes.
constexpr int AUDIO_CHANNEL_COUNT = 2;

// Turns this frame's click into calls to the engine, and shows the engine's
// own pause (it pauses when the sound server goes away) as the player's.
void update_transport(UiState* ui, AudioSystem* audio, const SongPath* song);
