// Scanning the music folder into the list file, and the filter on its names.
#pragma once

#include "app/state.h"

// On the frame of a click over the open button, rewrites the list file with
// the names in the music folder that pass is_listed_name, in the order the
// folder gives them. The list is replaced whole: when it cannot be written
// completely (no temp folder, a full disk) the old one stays as it was;
// without a music folder the new list is empty.
void scan_music_folder(const UiState* ui);

// True for text ending in "mp3", the song ending, dot or no dot.
bool is_mp3_path(const char* text);
// True for names ending in "mp3" and for names whose fourth byte from the
// end is not a dot; a name holding a newline is never listed.
bool is_listed_name(const char* name);
