// The player's records brought up in process as main holds them, for the
// tests and benchmarks that run whole frames without the real binary.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include "app/frame.h"

struct PlayerRecords {
    InputState input;
    UiState ui;
    SongPath song;
    SkinSet skin;
    Layout layout;
    AudioSystem audio;
    // Never started: in-process runs stay off the session bus.
    MediaControls media;
    TTF_Font* font;
    SDL_Color text_colour; // black, as main draws the list
};

// Brings the player up as at start-up; false with the reason in error.
inline bool start_records(PlayerRecords* p, char* error, int error_size)
{
    p->text_colour = SDL_Color{0, 0, 0, 0};
    return start_player(&p->input, &p->ui, &p->song, &p->skin, &p->layout, &p->audio, &p->font, error, error_size);
}

// One pass of the frame loop.
inline bool run_records_frame(PlayerRecords* p, char* error, int error_size)
{
    return run_frame(&p->input, &p->ui, &p->song, &p->skin, &p->layout, &p->audio, &p->media, p->font, p->text_colour,
                     error, error_size);
}

inline void shut_down_records(PlayerRecords* p)
{
    shut_down_player(&p->audio, p->font);
}
