// Start-up, the frame loop's fixed sequence of steps, and shut-down.
#include "app/frame.h"

#include <cstdio>
#include <cstring>

#include "app/input.h"
#include "app/wait.h"
#include "browser/pick.h"
#include "browser/scan.h"
#include "display/screen.h"
#include "display/song_list.h"
#include "display/view.h"
#include "playback/transport.h"

namespace {

bool start_audio(AudioSystem* audio, char* error, int error_size)
{
    if (!audio_system_create(audio)) {
        std::snprintf(error, static_cast<size_t>(error_size), "cannot start the MP3 decoder");
        return false;
    }
    return audio_system_init(audio, error, error_size);
}

} // namespace

bool start_player(PlayerRecords* p, char* error, int error_size)
{
    p->input = InputState{};
    p->ui = UiState{};
    p->song = SongPath{};
    std::memcpy(p->song.text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH);
    p->text_colour = SDL_Color{0, 0, 0, 0};

    return start_display(error, error_size) && load_skin(&p->skin, &p->layout, error, error_size) &&
           start_audio(&p->audio, error, error_size) && open_list_font(&p->font, error, error_size) &&
           show_player_window(&p->skin, &p->layout, &p->ui, p->font, p->text_colour, error, error_size);
}

bool run_frame(PlayerRecords* p, char* error, int error_size)
{
    // Each step reads what the earlier steps of this frame wrote: a click on
    // open sets the view, the scan rewrites the list, then the window is
    // re-created and the fresh list drawn.
    BusWait bus = media_controls_wait(&p->media);
    wait_for_events(&p->input, audio_notify_fd(&p->audio), &bus);
    audio_settle_device(&p->audio);
    poll_input(&p->input, &p->ui);
    update_transport(&p->ui, &p->audio, &p->song);
    serve_media_controls(&p->media, &p->ui, &p->audio, &p->song);
    pick_song(&p->input, &p->ui, &p->song);
    publish_media_controls(&p->media, &p->ui, &p->song);
    scan_music_folder(&p->ui);
    bool drawn = draw_frame(&p->skin, &p->layout, &p->ui, p->font, p->text_colour, error, error_size);
    if (drawn && p->ui.redraw == REDRAW_DUE) {
        flip_screen(&p->skin);
    }
    p->ui.clicked = 0;
    return drawn;
}

void stop_player(PlayerRecords* p)
{
    close_list_font(p->font);
    p->font = nullptr;
    free_skin(&p->skin);
    stop_display();
    audio_system_close(&p->audio);
}
