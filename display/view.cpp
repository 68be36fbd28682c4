#include "display/view.h"
bool draw_frame(SkinSet*, Layout*, UiState*, TTF_Font*, SDL_Color, char*, int) { return true; }
bool switch_view(SkinSet*, Layout*, UiState*, TTF_Font*, SDL_Color, char*, int) { return true; }
void draw_buttons(SkinSet*, Layout*, const UiState*) {}
void flip_screen(SkinSet*) {}
