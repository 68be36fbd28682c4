#include "playback/transport.h"
void update_transport(UiState*, AudioSystem*, const SongPath*) {}
