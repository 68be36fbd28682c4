// Klamor, the Drumble Maker BOX: a small skinned MP3 player.
#include <cstdio>

#include "app/frame.h"

int main(int, char**)
{
    InputState input;
    UiState ui;
    SongPath song;
    SkinSet skin = {};
    Layout layout = {};
    AudioSystem audio = {};
    TTF_Font* font = nullptr;
    const SDL_Color text_colour = {0, 0, 0, 0};
    char error[ERROR_TEXT_SIZE] = "";

    bool running = start_player(&input, &ui, &song, &skin, &layout, &audio, &font, error, sizeof error);
    while (running && input.quit == 0) {
        running = run_frame(&input, &ui, &song, &skin, &layout, &audio, font, text_colour, error, sizeof error);
    }
    shut_down_player(&audio, font);
    if (!running) {
        std::fprintf(stderr, "klamor: %s\n", error);
        return 1;
    }
    return 0;
}
