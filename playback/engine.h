// The audio engine: MP3 streams decoded ahead on a streaming thread, mixed
// on a fixed number of channels into SDL audio, controlled through one master
// channel group.
//
// Threads: the caller's (create, play, pause, stop), the streaming thread
// (decodes ahead, releases finished streams) and SDL's audio callback (only
// mixes from the rings). They meet through each sound's atomic state and ring;
// the callback never waits on a lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "playback/decoder.h"
#include "playback/ring.h"

// Room for one line saying why a stream could not be created.
constexpr int AUDIO_ERROR_SIZE = 512;

// The most channels a system can be initialised with.
constexpr int AUDIO_MAX_CHANNELS = 4;
// Every playing channel may have one stream fading out behind it and one
// more created ahead of it.
constexpr int AUDIO_SOUND_SLOTS = AUDIO_MAX_CHANNELS * 2;
// Frames the mixer works through at a time.
constexpr int AUDIO_MIX_CHUNK = 512;

// The life of a sound slot, and which thread moves it on:
//   FREE -> CLAIMED -> OPEN      caller: create
//   OPEN -> PLAYING              caller: play
//   OPEN -> FREE                 caller: release an unplayed sound
//   PLAYING -> STOPPING          caller: stop, or a play that reuses the channel
//   PLAYING -> DONE              callback: the stream played to its end
//   STOPPING -> DONE             callback: the fade-out reached silence
//   DONE -> FREE                 streaming thread: decoder and file released
constexpr int SOUND_FREE = 0;
constexpr int SOUND_CLAIMED = 1;
constexpr int SOUND_OPEN = 2;
constexpr int SOUND_PLAYING = 3;
constexpr int SOUND_STOPPING = 4;
constexpr int SOUND_DONE = 5;

struct AudioSound {
    std::atomic<int> state;      // SOUND_*
    std::atomic<bool> fully_fed; // the whole stream is in the ring
    AudioRing ring;              // streaming thread writes, callback reads
    StreamDecoder decoder;       // see the state table for who may touch it
    float fade;                  // callback only: 1 playing .. 0 stopped
    uint64_t started;            // caller only: play order, to find the oldest
};

struct AudioSystem;

struct AudioGroup {
    AudioSystem* system;
    std::atomic<bool> paused;
};

// What the device plays: sample rate, interleaved channel count and SDL
// sample format (AUDIO_S16SYS, AUDIO_U8, ...).
struct AudioOutput {
    int rate;
    int channels;
    uint16_t format;
};

struct AudioSystem {
    bool created;
    bool running;     // the engine was started and not yet closed
    bool device_open; // an SDL audio device feeds from audio_mix
    bool threaded;    // a streaming thread serves the streams
    int channel_count;
    AudioOutput output;
    int fade_frames;  // output frames a pause, resume or stop ramp takes
    int ahead_frames; // how far the streaming thread decodes ahead
    uint64_t play_count;
    char last_error[AUDIO_ERROR_SIZE]; // why the last create failed; caller only
    AudioGroup master;
    AudioSound sounds[AUDIO_SOUND_SLOTS];

    // Callback only.
    float group_gain;
    float mix[AUDIO_MIX_CHUNK * RING_CHANNELS];
    float gains[AUDIO_MIX_CHUNK];
    int16_t taken[AUDIO_MIX_CHUNK * RING_CHANNELS];

    std::thread streamer;
    std::mutex lock; // guards the wake-up and quit flags, never held while decoding
    std::condition_variable wake;
    bool wake_due;
    bool quit;
    std::condition_variable slot_freed;
};

// Prepares the record; opens nothing.
bool audio_system_create(AudioSystem* audio);
// Opens the audio device and starts the streaming thread. On failure writes
// one line naming what failed into error and returns false.
bool audio_system_init(AudioSystem* audio, int channel_count, char* error, int error_size);
// Starts the engine for an output that the caller drives by calling
// audio_mix itself, with no device. Without a streaming thread the caller
// also calls audio_service_streams; everything then runs on one thread.
bool audio_system_start(AudioSystem* audio, int channel_count, const AudioOutput* output, bool streaming_thread,
                        char* error, int error_size);
// Stops the streaming thread and releases every stream. Safe after SDL_Quit,
// and safe when create or init never ran or failed.
void audio_system_close(AudioSystem* audio);

// Opens a file as a stream; nullptr at once when it is not a readable regular
// file holding MPEG audio.
AudioSound* audio_create_stream(AudioSystem* audio, const char* path);
// Plays a stream from its start on any free channel, unpaused; when every
// channel is busy the one started longest ago is stopped and reused. From
// then on the engine owns the stream and releases it once it has stopped or
// played to its end. False when the stream was not playable; it is then
// still the caller's.
bool audio_play_sound(AudioSystem* audio, AudioSound* sound);
// Releases a stream that was created but never played.
void audio_release_sound(AudioSystem* audio, AudioSound* sound);

AudioGroup* audio_master_group(AudioSystem* audio);
// Reads back as last set; false for a missing group.
bool audio_group_paused(const AudioGroup* group);
// Pausing fades everything out and holds its place; resuming fades it in
// from there.
void audio_group_set_paused(AudioGroup* group, bool paused);
// Fades out and ends everything playing.
void audio_group_stop(AudioGroup* group);

// One pass of the streaming thread's work: decode ahead for every playing
// channel, release every stream that has ended.
void audio_service_streams(AudioSystem* audio);
// Streams on a channel, fading out included.
int audio_playing_count(const AudioSystem* audio);
// Streams created and not yet released.
int audio_sound_count(const AudioSystem* audio);
