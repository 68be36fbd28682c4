// Start-up, one frame of the loop, and shut-down.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/media_controls.h"
#include "app/state.h"
#include "display/skin.h"
#include "playback/engine.h"

// Everything main holds for the whole run. Each step of a frame is handed
// only the records it works on.
struct PlayerRecords {
    InputState input;
    UiState ui;
    SongPath song;
    SkinSet skin;
    Layout layout;
    AudioSystem audio;
    MediaControls media; // started by main only: runs in process stay off the bus
    TTF_Font* font;
    SDL_Color text_colour; // the list's, black
};

// Brings up the display, the skin, the audio engine and the font, in that
// order, and shows the player view. On failure writes one line into error
// and returns false; stop_player then still shuts down what came up.
bool start_player(PlayerRecords* player, char* error, int error_size);
// One pass of the frame loop. Returns false when the frame could not be
// drawn; error then says why.
bool run_frame(PlayerRecords* player, char* error, int error_size);
// Closes the font, the skin, the display and the audio engine, in that order.
void stop_player(PlayerRecords* player);
