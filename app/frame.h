// Start-up, one frame of the loop, and shut-down.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/media_controls.h"
#include "app/state.h"
#include "display/skin.h"
#include "playback/engine.h"

constexpr char FONT_PATH[] = "GeosansLight.ttf";
constexpr int FONT_POINT_SIZE = 12;

// Brings up the libraries, the skin, the audio engine and the font, and shows
// the player view. On failure writes one line into error and returns false.
bool start_player(InputState* input, UiState* ui, SongPath* song, SkinSet* skin, Layout* layout, AudioSystem* audio,
                  TTF_Font** font, char* error, int error_size);

// One pass of the frame loop. Returns false when the frame could not be
// drawn; error then says why.
bool run_frame(InputState* input, UiState* ui, SongPath* song, SkinSet* skin, Layout* layout, AudioSystem* audio,
               MediaControls* media, TTF_Font* font, SDL_Color text_colour, char* error, int error_size);

// Closes the font, SDL_ttf, SDL and the audio engine, in that order.
void shut_down_player(AudioSystem* audio, TTF_Font* font);
