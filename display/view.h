// The two views and everything drawn in a frame.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/state.h"
#include "display/layout.h"
#include "display/screen.h"
#include "display/skin.h"

// Re-creates the window when a click asks for another view, then draws the
// player background and the buttons. Returns false when a window cannot be
// created; error then names what failed.
bool draw_frame(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                int error_size);
bool switch_view(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                 int error_size);
// Makes the first window: the player view, nothing hovered, drawn and
// presented.
bool show_player_window(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                        int error_size);
