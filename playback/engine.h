// The audio engine: MP3 streams decoded ahead on a streaming thread, mixed
// on a fixed number of channels into SDL audio, controlled through one master
// channel group.
//
// Three threads meet here, and each part of AudioSystem belongs to one:
//   the caller's   every function of this header, and opening and closing
//                  the device (device.h); owns AudioCaller
//   streaming      decodes ahead, releases finished streams, tells the caller
//                  when the device has gone quiet (streamer.h); owns
//                  AudioStreamer's work, woken through its lock
//   callback       SDL's audio callback, only mixes from the rings
//                  (mixer.h); owns AudioCallback
// AudioConfig is written before any other thread starts and only read
// afterwards. The rest is shared through atomics: the group's pause flag, the
// device's state, and each sound's state, whose table below says who may
// move it on and so who may touch the sound's decoder. The callback never
// waits on a lock.
//
// The SDL device is open only while something sounds: a sound server serves
// an open stream whether it carries music or silence, so an idle player that
// kept one open would cost CPU for nothing.
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
//   CLAIMED -> FREE              caller: the file would not open as a stream
//   OPEN -> PLAYING              caller: play
//   OPEN -> FREE                 caller: release an unplayed sound
//   PLAYING -> STOPPING          caller: stop, or a play that reuses the channel
//   PLAYING -> DONE              caller: stop while the device is closed, so
//                                no callback is left to fade it
//   PLAYING -> DONE              callback: the stream played to its end
//   STOPPING -> DONE             callback: the fade-out reached silence
//   DONE -> FREE                 streaming thread: decoder and file released
// The decoder is the caller's until PLAYING and the streaming thread's from
// then on; the ring is written by whoever holds the decoder and read by the
// callback.
constexpr int SOUND_FREE = 0;
constexpr int SOUND_CLAIMED = 1;
constexpr int SOUND_OPEN = 2;
constexpr int SOUND_PLAYING = 3;
constexpr int SOUND_STOPPING = 4;
constexpr int SOUND_DONE = 5;

struct AudioSound {
    std::atomic<int> state;      // SOUND_*
    std::atomic<bool> fully_fed; // the whole stream is in the ring
    AudioRing ring;
    StreamDecoder decoder;
};

struct AudioSystem;

struct AudioGroup {
    AudioSystem* system;
    std::atomic<bool> paused; // caller writes; all read
};

// What the device plays: sample rate, interleaved channel count and SDL
// sample format (AUDIO_S16SYS, AUDIO_U8, ...).
struct AudioOutput {
    int rate;
    int channels;
    uint16_t format;
};

// Fixed while the engine runs.
struct AudioConfig {
    bool uses_device; // SDL's device plays the mix, opened and closed by the engine
    bool threaded;    // a streaming thread serves the streams
    int channel_count;
    AudioOutput output;
    int fade_frames;   // output frames a pause, resume or stop ramp takes
    int ahead_frames;  // how far the streaming thread decodes ahead
    int linger_frames; // quiet output frames before the device may close
};

// The caller's thread only.
struct AudioCaller {
    bool created;
    bool running; // started and not yet closed
    uint64_t play_count;
    uint64_t started[AUDIO_SOUND_SLOTS]; // play order of each slot, to find the oldest
    char last_error[AUDIO_ERROR_SIZE];   // why the last create or play failed
};

// The device's life, between the caller that opens and closes it and the
// threads that watch it.
struct AudioDevice {
    std::atomic<bool> open; // caller writes
    // Output frames the callback has written since anything last sounded.
    // The callback writes it while the device runs, the caller only while it
    // does not.
    std::atomic<int> quiet_frames;
    int notify_fd = -1; // the streaming thread writes, the caller reads
};

// The audio callback only.
struct AudioCallback {
    float group_gain;
    // Each stream's stop fade, 1 playing .. 0 stopped; the caller sets it to
    // 1 before the slot goes on a channel.
    float fade[AUDIO_SOUND_SLOTS];
    float mix[AUDIO_MIX_CHUNK * RING_CHANNELS];
    float gains[AUDIO_MIX_CHUNK];
    int16_t taken[AUDIO_MIX_CHUNK * RING_CHANNELS];
};

// The streaming thread, and how the caller wakes it.
struct AudioStreamer {
    std::thread thread;
    std::mutex lock; // guards wake_due and quit; never held while decoding
    std::condition_variable wake;
    std::condition_variable slot_freed;
    bool wake_due;
    bool quit;
};

struct AudioSystem {
    AudioConfig config;
    AudioCaller caller;
    AudioDevice device;
    AudioCallback callback;
    AudioStreamer streamer;
    AudioGroup master;
    AudioSound sounds[AUDIO_SOUND_SLOTS];
};

// Prepares the record; opens nothing.
bool audio_system_create(AudioSystem* audio);
// Checks that an audio device can be opened, learns its format, and starts
// the streaming thread; the device itself opens only when something plays.
// On failure writes one line naming what failed into error and returns
// false.
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
// channel is busy the one started longest ago is stopped and reused. Opens
// the device if it is closed. From then on the engine owns the stream and
// releases it once it has stopped or played to its end. False when the
// stream was not playable or the device would not open (audio_last_error
// says why); the stream is then still the caller's.
bool audio_play_sound(AudioSystem* audio, AudioSound* sound);
// Releases a stream that was created but never played.
void audio_release_sound(AudioSystem* audio, AudioSound* sound);

AudioGroup* audio_master_group(AudioSystem* audio);
// Reads back as last set; false for a missing group.
bool audio_group_paused(const AudioGroup* group);
// Pausing fades everything out and holds its place; resuming fades it in
// from there, opening the device again if it closed meanwhile. False when a
// resume found the device would not open: the group then stays paused.
bool audio_group_set_paused(AudioGroup* group, bool paused);
// Fades out and ends everything playing.
void audio_group_stop(AudioGroup* group);

// Readable when the caller should call audio_settle_device: the device has
// been quiet long enough to close. -1 when the engine has no device.
int audio_notify_fd(const AudioSystem* audio);
// Closes the device once stops and pauses have faded out, nothing plays and
// the sound server has played out what it held. Cheap enough to call on
// every frame.
void audio_settle_device(AudioSystem* audio);

// What the engine can tell about itself, for the player and its tests.
// Streams on a channel, fading out included.
int audio_playing_count(const AudioSystem* audio);
// Streams created and not yet released.
int audio_sound_count(const AudioSystem* audio);
// A SOUND_* code.
int audio_sound_state(const AudioSound* sound);
bool audio_device_open(const AudioSystem* audio);
// The format the mix is written in.
AudioOutput audio_output_format(const AudioSystem* audio);
// Why the last create or play failed.
const char* audio_last_error(const AudioSystem* audio);
