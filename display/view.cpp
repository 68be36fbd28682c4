// Re-creating the window for the view a click asked for, and the drawing that
// every frame does over it.
#include "display/view.h"

#include <cstdio>

#include "display/screen.h"
#include "display/song_list.h"

namespace {

void blit_at(SkinSet* skin, int slot, Layout* layout, int entry)
{
    // The blit writes the drawn size into the entry; only x and y matter.
    SDL_UpperBlit(skin->slots[slot], nullptr, skin->slots[SLOT_SCREEN], &layout->positions[entry]);
}

// The player view's window with its background, presented.
bool open_player_window(SkinSet* skin, Layout* layout, char* error, int error_size)
{
    if (!open_window(skin, PLAYER_WIDTH, PLAYER_CAPTION, error, error_size)) {
        return false;
    }
    blit_at(skin, SLOT_DRUMBLE_BG, layout, BG_POS);
    flip_screen(skin);
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
        return open_player_window(skin, layout, error, error_size);
    } else if (ui->view == VIEW_BROWSER) {
        if (!is_open_click(ui)) {
            return true;
        }
        if (!open_window(skin, BROWSER_WIDTH, BROWSER_CAPTION, error, error_size)) {
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

bool show_player_window(SkinSet* skin, Layout* layout, UiState* ui, TTF_Font* font, SDL_Color text_colour, char* error,
                        int error_size)
{
    ui->view = VIEW_PLAYER;
    ui->hover_back = BACK_NOT_HOVERED;
    if (!open_player_window(skin, layout, error, error_size) ||
        !draw_frame(skin, layout, ui, font, text_colour, error, error_size)) {
        return false;
    }
    flip_screen(skin);
    return true;
}
