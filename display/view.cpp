// Re-creating the window for the view a click asked for, and the drawing that
// every frame does over it.
#include "display/view.h"

#include <cstdio>

#include "display/song_list.h"

namespace {

constexpr Uint32 WINDOW_FLAGS = SDL_HWSURFACE | SDL_RESIZABLE | SDL_DOUBLEBUF;

void blit_at(SkinSet* skin, int slot, Layout* layout, int entry)
{
    // The blit writes the drawn size into the entry; only x and y matter.
    SDL_UpperBlit(skin->slots[slot], nullptr, skin->slots[SLOT_SCREEN], &layout->positions[entry]);
}

// Puts a new window of the given width into the screen slot. Until the
// first window exists the slot holds the icon image, which is no longer
// needed; a previous screen belongs to SDL and is not freed.
bool replace_screen(SkinSet* skin, int width, char* error, int error_size)
{
    SDL_Surface* held = skin->slots[SLOT_SCREEN];
    if (held != nullptr && held != SDL_GetVideoSurface()) {
        SDL_FreeSurface(held);
    }
    skin->slots[SLOT_SCREEN] = SDL_SetVideoMode(width, WINDOW_HEIGHT, WINDOW_DEPTH, WINDOW_FLAGS);
    if (skin->slots[SLOT_SCREEN] == nullptr) {
        std::snprintf(error, error_size, "cannot create the %d x %d window: %s", width, WINDOW_HEIGHT, SDL_GetError());
        return false;
    }
    // SDL 1.2 hands out a cleared screen, but a compatibility layer may not:
    // the column between the backgrounds, which none covers in the browser view,
    // then showed stale memory instead of a black seam.
    SDL_FillRect(skin->slots[SLOT_SCREEN], nullptr, 0);
    return true;
}

void draw_buttons(SkinSet* skin, Layout* layout, const UiState* ui)
{
    if (ui->view == VIEW_BROWSER) {
        blit_at(skin, SLOT_OPEN_EN, layout, OPEN_POS);
    }
    // The lit images also show the transport state: play while playing,
    // play and pause while paused.
    if (ui->transport == TRANSPORT_PLAYING || ui->transport == TRANSPORT_PAUSED) {
        blit_at(skin, SLOT_PLAY_EN, layout, PLAY_POS);
        if (ui->transport == TRANSPORT_PAUSED) {
            blit_at(skin, SLOT_PAUSE_EN, layout, PAUSE_POS);
        }
    }
    switch (ui->hover_button) {
    case HOVER_PLAY:
        blit_at(skin, SLOT_PLAY_EN, layout, PLAY_POS);
        break;
    case HOVER_PAUSE:
        blit_at(skin, SLOT_PAUSE_EN, layout, PAUSE_POS);
        break;
    case HOVER_STOP:
        blit_at(skin, SLOT_STOP_EN, layout, STOP_POS);
        break;
    case HOVER_OPEN:
        blit_at(skin, SLOT_OPEN_EN, layout, OPEN_POS);
        break;
    default:
        break;
    }
    blit_at(skin, ui->hover_back == BACK_HOVERED ? SLOT_BACK_EN : SLOT_BACK, layout, BACK_POS);
}

} // namespace

bool switch_view(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                 int error_size)
{
    if (ui->view == VIEW_PLAYER) {
        if (ui->hover_back != BACK_HOVERED || ui->clicked != 1) {
            return true;
        }
        SDL_WM_SetCaption(PLAYER_CAPTION, nullptr);
        if (!replace_screen(skin, PLAYER_WIDTH, error, error_size)) {
            return false;
        }
        blit_at(skin, SLOT_DRUMBLE_BG, layout, BG_POS);
        flip_screen(skin);
    } else if (ui->view == VIEW_BROWSER) {
        if (!is_open_click(ui)) {
            return true;
        }
        SDL_WM_SetCaption(BROWSER_CAPTION, nullptr);
        if (!replace_screen(skin, BROWSER_WIDTH, error, error_size)) {
            return false;
        }
        blit_at(skin, SLOT_DRUMBLE_BG, layout, BG_POS);
        blit_at(skin, SLOT_BROWSER_BG, layout, BROWSER_POS);
        flip_screen(skin);
        draw_song_list(skin, layout, ui, font, text_colour);
        blit_at(skin, SLOT_OPEN_EN, layout, OPEN_POS);
        flip_screen(skin);
    }
    return true;
}

bool draw_frame(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                int error_size)
{
    if (!switch_view(skin, layout, ui, font, text_colour, error, error_size)) {
        return false;
    }
    if (skin->slots[SLOT_SCREEN] == nullptr) {
        std::snprintf(error, error_size, "no window to draw into");
        return false;
    }
    blit_at(skin, SLOT_DRUMBLE_BG, layout, BG_POS);
    draw_buttons(skin, layout, ui);
    return true;
}

void flip_screen(SkinSet* skin)
{
    if (skin->slots[SLOT_SCREEN] != nullptr) {
        SDL_Flip(skin->slots[SLOT_SCREEN]);
    }
}
