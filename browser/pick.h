// Turning a click on the drawn list into the current song and the choice file.
#pragma once

#include <cstdio>

#include "app/state.h"

void pick_song(const InputState* input, const UiState* ui, SongPath* song);
// The list index under a point of the list area, by the fixed hit grid.
int list_index_at(int x, int y);
void select_song(int index, SongPath* song);
void skip_lines(FILE* stream, int count);
bool is_mp3_path(const char* text);
void reset_song_path(SongPath* song);
