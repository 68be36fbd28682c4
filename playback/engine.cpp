#include "playback/engine.h"
bool audio_system_create(AudioSystem*) { return true; }
bool audio_system_init(AudioSystem*, int, char*, int) { return true; }
void audio_system_close(AudioSystem*) {}
AudioSound* audio_create_stream(AudioSystem*, const char*) { return nullptr; }
bool audio_play_sound(AudioSystem*, AudioSound*) { return false; }
AudioGroup* audio_master_group(AudioSystem*) { return nullptr; }
bool audio_group_paused(const AudioGroup*) { return false; }
void audio_group_set_paused(AudioGroup*, bool) {}
void audio_group_stop(AudioGroup*) {}
