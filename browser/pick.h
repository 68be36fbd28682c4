// Turning a click on the drawn list into the current song and the choice file.
#pragma once

#include <cstdio>

#include "app/state.h"

// On a left click right of x 331 in the browser view: clears the song, then,
// when the hit grid's index is within song_count, selects that line.
void pick_song(const InputState* input, const UiState* ui, SongPath* song);
// The list index under a point of the list area, by the fixed hit grid; 0
// outside the grid.
int list_index_at(int x, int y);
// Reads line index (line 1 for index 0) of the list file into song and
// records the result and the index in the choice file. A line that is not a
// plain mp3 file name in the music folder clears the song. When a working
// file cannot be opened or written, or the list is not a regular file, the
// song is cleared and the choice file keeps what it held.
void select_song(int index, SongPath* song);
// Skips count lines. False when the stream ends first, or a line runs on
// longer than any path can be, which ends the list there.
bool skip_lines(FILE* stream, int count);
bool is_mp3_path(const char* text);
// Writes the music prefix and a NUL; the bytes after them are left alone.
void reset_song_path(SongPath* song);
