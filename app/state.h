// The records that carry state from one step of a frame to the next, and the
// working files they refer to. main owns one of each for the whole run.
#pragma once

#include <cstdint>
#include <cstring>

// What the pointer and the event queue said this frame.
struct InputState {
    int16_t quit;    // 1 once a quit request was seen; never cleared
    int16_t mouse_x; // pointer position sampled this frame, window pixels
    int16_t mouse_y;
    int16_t left_down;  // 1 when this frame's event pressed the left button
    int16_t right_down; // 1 when this frame's event pressed the right button
};

// Codes for UiState::view.
constexpr uint8_t VIEW_PLAYER = 1;
constexpr uint8_t VIEW_BROWSER = 2;

// Codes for UiState::hover_button; 1 is never used.
constexpr uint8_t HOVER_NONE = 0;
constexpr uint8_t HOVER_PLAY = 2;
constexpr uint8_t HOVER_PAUSE = 3;
constexpr uint8_t HOVER_STOP = 4;
constexpr uint8_t HOVER_OPEN = 5;

// Codes for UiState::hover_back.
constexpr uint8_t BACK_HOVERED = 2;
constexpr uint8_t BACK_NOT_HOVERED = 3;

// Codes for UiState::transport.
constexpr uint8_t TRANSPORT_STOPPED = 0;
constexpr uint8_t TRANSPORT_PLAYING = 1;
constexpr uint8_t TRANSPORT_PAUSED = 2;

// UiState::redraw when a hover code changed during this frame's sampling.
constexpr uint8_t REDRAW_DUE = 2;

// What the user points at, which view is shown and what the player does.
struct UiState {
    uint8_t clicked;           // 1 when a mouse button was pressed this frame
    uint8_t view;              // VIEW_*
    uint8_t hover_button;      // HOVER_*; in a gap of the row, the last frame's code
    uint8_t hover_back;        // BACK_*
    uint8_t transport;         // TRANSPORT_*
    uint8_t prev_hover_button; // hover codes as they were at the last change
    uint8_t prev_hover_back;
    uint8_t redraw; // REDRAW_DUE or 0
    // Entries drawn by the last list drawing, counted as far as the window
    // shows and past the hit grid's highest index, which is all picking
    // needs.
    int32_t song_count;
};

// The frame of a click over the open button. The click has already switched
// the view, so this holds for a click over open in either view.
inline bool is_open_click(const UiState* ui)
{
    return ui->view == VIEW_BROWSER && ui->hover_button == HOVER_OPEN && ui->clicked == 1;
}

// Every song lives directly in the music folder.
constexpr char MUSIC_FOLDER[] = "./music";
constexpr char MUSIC_PREFIX[] = "./music/";
constexpr int MUSIC_PREFIX_LENGTH = 8;
// The longest file name POSIX file systems allow.
constexpr int SONG_NAME_MAX = 255;
constexpr int SONG_PATH_SIZE = MUSIC_PREFIX_LENGTH + SONG_NAME_MAX + 1;

// The current song: MUSIC_PREFIX then the file name, NUL-terminated. Holding
// only the prefix means that no song is chosen.
struct SongPath {
    char text[SONG_PATH_SIZE];
};

// A song is chosen when the path holds more than the music folder's prefix.
inline bool song_chosen(const SongPath* song)
{
    return std::strcmp(song->text, MUSIC_PREFIX) != 0;
}

// One listed name per line, in the order the folder gave them.
constexpr char LIST_FILE_PATH[] = "./temp/temporaire.txt";
// The last pick: the path, a newline, the list index; no final newline.
constexpr char CHOICE_FILE_PATH[] = "./temp/datest.txt";

// Start-up errors are written into a buffer of this size for main to print.
constexpr int ERROR_TEXT_SIZE = 512;
