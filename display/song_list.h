// Drawing the list file into the browser view.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/state.h"
#include "display/skin.h"

// The list's font, in the working directory.
constexpr char FONT_PATH[] = "GeosansLight.ttf";
constexpr int FONT_POINT_SIZE = 12;

// Opens the list's font; SDL_ttf must be up. On failure writes one line into
// error and returns false.
bool open_list_font(TTF_Font** font, char* error, int error_size);
// Safe on a font that never opened.
void close_list_font(TTF_Font* font);

// Draws the list file in columns of nine from the list cursor and counts the
// entries drawn into ui->song_count. Reading stops once nothing more can be
// drawn and the count is past LIST_INDEX_MAX. A list file that is not a
// regular file reads as empty.
void draw_song_list(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour);
