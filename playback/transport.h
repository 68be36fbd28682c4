// The player's transport: play, pause and stop clicks over the audio engine.
#pragma once

#include "app/state.h"
#include "playback/engine.h"

// The number of channels the engine mixes.
constexpr int AUDIO_CHANNEL_COUNT = 2;

void update_transport(UiState* ui, AudioSystem* audio, const SongPath* song);
