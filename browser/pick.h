// Turning a click on the drawn list into the current song and the choice file.
#pragma once

#include "app/state.h"

// On a left click in the list area of the browser view: clears the song, then,
// when the hit grid's index is within song_count, selects that line.
void pick_song(const InputState* input, const UiState* ui, SongPath* song);
// Reads line index (line 1 for index 0) of the list file into song and
// records the result and the index in the choice file. A line that is not a
// plain mp3 file name in the music folder clears the song. When a working
// file cannot be opened or written, or the list is not a regular file, the
// song is cleared and the choice file keeps what it held.
void select_song(int index, SongPath* song);
