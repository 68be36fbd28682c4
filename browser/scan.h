// Scanning the music folder into the list file.
#pragma once

#include "app/state.h"

// On the frame of a click over the open button, rewrites the list file with
// the names in the music folder that pass is_listed_name.
void scan_music_folder(const UiState* ui);
bool is_listed_name(const char* name);
