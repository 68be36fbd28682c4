// Start-up, the frame loop's fixed sequence of steps, and shut-down.
#include "app/frame.h"

#include <cstdio>
#include <cstring>

#include "app/input.h"
#include "app/wait.h"
#include "browser/pick.h"
#include "browser/scan.h"
#include "display/view.h"
#include "playback/transport.h"

bool start_player(InputState* input, UiState* ui, SongPath* song, SkinSet* skin, Layout* layout, AudioSystem* audio,
                  TTF_Font** font, char* error, int error_size)
{
    *input = InputState{};
    *ui = UiState{};
    *song = SongPath{};
    std::memcpy(song->text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH);

    if (!load_skin(skin, layout, error, error_size)) {
        return false;
    }
    if (!audio_system_create(audio) || !audio_system_init(audio, AUDIO_CHANNEL_COUNT, error, error_size)) {
        return false;
    }
    *font = TTF_OpenFont(FONT_PATH, FONT_POINT_SIZE);
    if (*font == nullptr) {
        std::snprintf(error, error_size, "cannot load %s: %s", FONT_PATH, TTF_GetError());
        return false;
    }

    // These three values are what makes the view switch create the player
    // window for the first time.
    ui->clicked = 1;
    ui->hover_back = BACK_HOVERED;
    ui->view = VIEW_PLAYER;
    SDL_Color black = {0, 0, 0, 0};
    if (!draw_frame(skin, layout, ui, *font, black, error, error_size)) {
        return false;
    }
    flip_screen(skin);
    ui->clicked = 0;
    ui->hover_button = HOVER_NONE;
    ui->hover_back = BACK_NOT_HOVERED;
    return true;
}

bool run_frame(InputState* input, UiState* ui, SongPath* song, SkinSet* skin, Layout* layout, AudioSystem* audio,
               MediaControls* media, TTF_Font* font, SDL_Color text_colour, char* error, int error_size)
{
    // Each step reads what the earlier steps of this frame wrote: a click on
    // open sets the view, the scan rewrites the list, then the window is
    // re-created and the fresh list drawn.
    BusWait bus = media_controls_wait(media);
    wait_for_events(input, audio_notify_fd(audio), &bus);
    audio_settle_device(audio);
    poll_input(input, ui);
    update_transport(ui, audio, song);
    serve_media_controls(media, ui, audio, song);
    pick_song(input, ui, song);
    publish_media_controls(media, ui, song);
    scan_music_folder(ui);
    bool drawn = draw_frame(skin, layout, ui, font, text_colour, error, error_size);
    if (drawn && ui->redraw == REDRAW_DUE) {
        flip_screen(skin);
    }
    ui->clicked = 0;
    return drawn;
}

void shut_down_player(AudioSystem* audio, TTF_Font* font)
{
    if (font != nullptr) {
        TTF_CloseFont(font);
    }
    TTF_Quit();
    SDL_Quit();
    audio_system_close(audio);
}
