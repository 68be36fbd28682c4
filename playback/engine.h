// The audio engine: MP3 streams decoded ahead on a streaming thread, mixed
// on a fixed number of channels into SDL audio, controlled through one master
// channel group.
#pragma once

#include "app/state.h"

// TODO(engine): the full AudioSystem record, owned by main.
struct AudioSystem {
    int channel_count;
};
struct AudioSound;
struct AudioGroup;

// Prepares the record; opens nothing.
bool audio_system_create(AudioSystem* audio);
// Opens the audio device and starts the streaming thread. On failure writes
// one line naming what failed into error and returns false.
bool audio_system_init(AudioSystem* audio, int channel_count, char* error, int error_size);
// Stops the streaming thread and releases every stream. Safe after SDL_Quit.
void audio_system_close(AudioSystem* audio);

// Opens a file as a stream; nullptr at once when it is not a readable regular
// file holding MPEG audio.
AudioSound* audio_create_stream(AudioSystem* audio, const char* path);
// Plays a stream from its start on any free channel, unpaused.
bool audio_play_sound(AudioSystem* audio, AudioSound* sound);

AudioGroup* audio_master_group(AudioSystem* audio);
bool audio_group_paused(const AudioGroup* group);
void audio_group_set_paused(AudioGroup* group, bool paused);
void audio_group_stop(AudioGroup* group);
