// The player's transport: play, pause and stop buttons over the audio engine.
#pragma once

#include "app/state.h"
#include "playback/engine.h"

// A click this frame presses the button under the pointer. Every frame, the
// engine's own pause (it pauses when the sound server goes away) shows as
// the player's.
void update_transport(UiState* ui, AudioSystem* audio, const SongPath* song);
// Presses one button (HOVER_PLAY, HOVER_PAUSE, HOVER_STOP; anything else
// does nothing) as a click on it would in the transport's present state.
void press_transport_button(UiState* ui, AudioSystem* audio, const SongPath* song, uint8_t button);
