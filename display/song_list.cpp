#include "display/song_list.h"
void draw_song_list(SkinSet*, Layout*, UiState*, TTF_Font*, SDL_Color) {}
