// The audio engine: MP3 streams decoded ahead on a streaming thread, mixed
// on a fixed number of channels into an output, controlled through one
// master channel group. The output is SDL's audio device, or a stream of the
// engine's own on the desktop's sound server (PulseAudio, or PipeWire's pulse
// server); output.h is the seam between them and the rest of the engine.
//
// Four threads meet here, and each part of AudioSystem belongs to one:
//   the caller's   every function of this header, and opening, closing and
//                  holding the output (output.h); owns AudioCaller
//   streaming      decodes ahead, releases finished streams, tells the caller
//                  when the output has gone quiet or wrong (streamer.h); owns
//                  AudioStreamer's work, woken through its lock
//   callback       mixes from the rings (mixer.h): SDL's audio thread, or
//                  libpulse's mainloop thread when the server asks for more;
//                  owns AudioCallback and AudioHistory. The caller takes that
//                  part over only while it holds the sound server's output
//                  (output_hold), whose mainloop lock keeps the callback out;
//                  with SDL's device it touches only a slot's fade, before
//                  the slot's state lets the callback see it.
//   libpulse's     runs the sound server's callbacks: the mix, and what the
//   mainloop       server says about the connection and the stream; touches
//                  PulseOutput only under the mainloop's lock
// AudioConfig is written before any other thread starts and only read
// afterwards. The rest is shared through atomics: the group's pause flag, the
// output's state, and each sound's state, whose table below says who may
// move it on and so who may touch the sound's decoder. The callback never
// waits on a lock; libpulse's thread may wait for the caller's hold, which
// lasts as long as writing half a second of the mix again takes, while the
// server plays from what it holds.
//
// The output is open only while something sounds: a sound server serves an
// open stream whether it carries music or silence, so an idle player that
// kept one open would cost CPU for nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "playback/decoder.h"
#include "playback/output_pulse.h"
#include "playback/ring.h"

// Room for one line saying why a stream could not be created.
constexpr int AUDIO_ERROR_SIZE = 512;

// The most channels a system can be initialised with.
constexpr int AUDIO_MAX_CHANNELS = 4;
// Every playing channel may have one stream fading out behind it and one
// more created ahead of it.
constexpr int AUDIO_SOUND_SLOTS = AUDIO_MAX_CHANNELS * 2;
// Frames the mixer works through at a time. With a sound server's output the
// chunks start at multiples of this, and the mix can be wound back to the
// start of any chunk the server still holds.
constexpr int AUDIO_MIX_CHUNK = 512;
// Chunks whose start the mix remembers: 683 ms at 48 kHz, more than the
// sound server is asked to hold.
constexpr int AUDIO_HISTORY_MARKS = 64;

// The life of a sound slot, and which thread moves it on:
//   FREE -> CLAIMED -> OPEN      caller: create
//   CLAIMED -> FREE              caller: the file would not open as a stream
//   OPEN -> PLAYING              caller: play
//   OPEN -> FREE                 caller: release an unplayed sound
//   PLAYING -> STOPPING          caller: stop, or a play that reuses the channel
//   PLAYING -> DONE              caller: stop while no callback mixes, so
//                                none is left to fade it
//   PLAYING -> DONE              callback: the stream played to its end
//   STOPPING -> DONE             callback: the fade-out reached silence;
//                                caller: the output closed under it
//   DONE -> PLAYING, STOPPING    callback (or the caller holding the output):
//                                the mix was wound back to before the end
//   DONE -> FREE                 streaming thread: decoder and file released,
//                                once no winding back can reach the end
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
    // Set by the caller when it stops the stream, so that a stream the mix
    // is wound back into comes back fading out rather than playing.
    std::atomic<bool> stopped;
    // The output frame at whose chunk the callback last found it done.
    std::atomic<int64_t> done_at;
    char name[PULSE_NAME_SIZE]; // the file's name, for the sound server to show; the caller's
    AudioRing ring;
    StreamDecoder decoder;
};

struct AudioSystem;

struct AudioGroup {
    AudioSystem* system;
    std::atomic<bool> paused; // caller writes; all read
};

// What the output plays: sample rate, interleaved channel count and SDL
// sample format (AUDIO_S16SYS, AUDIO_U8, ...).
struct AudioOutput {
    int rate;
    int channels;
    uint16_t format;
};

// Which output plays the mix; output.cpp is the only place that tells them
// apart.
constexpr int OUTPUT_CALLER = 0; // the caller calls audio_mix itself
constexpr int OUTPUT_SDL = 1;    // SDL's audio device
constexpr int OUTPUT_PULSE = 2;  // a stream of the engine's own on the sound server

// Fixed while the engine runs.
struct AudioConfig {
    int output_kind;    // OUTPUT_*
    bool keeps_history; // the output can take back what it was given
    bool threaded;      // a streaming thread serves the streams
    int channel_count;
    AudioOutput output;
    int fade_frames;   // output frames a pause, resume or stop ramp takes
    int ahead_frames;  // how far the streaming thread decodes ahead
    int start_frames;  // how much a stream holds decoded before it plays
    int linger_frames; // quiet output frames heard before the output may close
};

// The caller's thread only.
struct AudioCaller {
    bool created;
    bool running; // started and not yet closed
    uint64_t play_count;
    uint64_t started[AUDIO_SOUND_SLOTS]; // play order of each slot, to find the oldest
    char last_error[AUDIO_ERROR_SIZE];   // why the last create or play failed
};

// The output's life, between the caller that opens and closes it and the
// threads that watch it.
struct AudioDevice {
    std::atomic<bool> open; // caller writes
    // Output frames heard since anything last sounded: with SDL's device,
    // those the callback has written. Whoever mixes writes it while the
    // output runs, the caller only while it does not.
    std::atomic<int> quiet_frames;
    int notify_fd = -1; // the streaming thread and libpulse's thread write, the caller reads
};

// The audio callback only.
struct AudioCallback {
    float group_gain;
    // Each stream's stop fade, 1 playing .. 0 stopped; the caller sets it to
    // 1 before the slot goes on a channel.
    float fade[AUDIO_SOUND_SLOTS];
    // Output frames written since anything last sounded.
    int quiet_frames;
    float mix[AUDIO_MIX_CHUNK * RING_CHANNELS];
    float gains[AUDIO_MIX_CHUNK];
    int16_t taken[AUDIO_MIX_CHUNK * RING_CHANNELS];
};

// The mix as it was at the start of a chunk that the sound server still
// holds: enough to wind it back there and write it again.
struct MixMark {
    int64_t frame; // the output frame the chunk starts at
    float group_gain;
    int quiet_frames;
    float fade[AUDIO_SOUND_SLOTS];
    uint32_t ring_read[AUDIO_SOUND_SLOTS];
    int state[AUDIO_SOUND_SLOTS]; // SOUND_PLAYING or SOUND_STOPPING when on a channel, else 0
};

// What the output has been given and may still take back (history.h). The
// callback's, but for forgotten.
struct AudioHistory {
    int64_t mixed; // output frames mixed since the output last started
    int oldest;    // the oldest mark's index in marks
    int count;     // marks held
    MixMark marks[AUDIO_HISTORY_MARKS];
    // No mark is left before this frame: a stream that ended before it can
    // no longer come back. The streaming thread reads it.
    std::atomic<int64_t> forgotten;
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
    PulseOutput pulse;
    AudioCallback callback;
    AudioHistory history;
    AudioStreamer streamer;
    AudioGroup master;
    AudioSound sounds[AUDIO_SOUND_SLOTS];
};

// Prepares the record; opens nothing.
bool audio_system_create(AudioSystem* audio);
// Chooses the output, learns its format, and starts the streaming thread.
// The output is the sound server's when SDL_AUDIODRIVER is unset or names
// pulseaudio first and a server answers, or is still being asked; otherwise
// SDL's device, which is opened once to see that there is one. Either opens
// for good only when something plays. On failure writes one line naming what
// failed into error and returns false.
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
// the output if it is closed; a sound server's stream may connect after this
// returns. From then on the engine owns the stream and releases it once it
// has stopped or played to its end. False when the stream was not playable
// or the output would not open (audio_last_error says why); the stream is
// then still the caller's.
bool audio_play_sound(AudioSystem* audio, AudioSound* sound);
// Releases a stream that was created but never played.
void audio_release_sound(AudioSystem* audio, AudioSound* sound);

AudioGroup* audio_master_group(AudioSystem* audio);
// Reads back as last set; false for a missing group.
bool audio_group_paused(const AudioGroup* group);
// Pausing fades everything out and holds its place; resuming fades it in
// from there, opening the output again if it closed meanwhile. False when a
// resume found the output would not open: the group then stays paused. The
// engine also pauses the group by itself when the sound server goes away
// or stops answering while something plays: what was heard last is where a
// resume goes on from.
bool audio_group_set_paused(AudioGroup* group, bool paused);
// Fades out and ends everything playing.
void audio_group_stop(AudioGroup* group);

// Readable when the caller should call audio_settle_device: the output has
// been quiet long enough to close, or the sound server went away. -1 when
// the engine has no output of its own.
int audio_notify_fd(const AudioSystem* audio);
// Closes the output once stops and pauses have faded out, nothing plays and
// the listener has heard all that sounded; gives up a sound server that went
// away or stalled, pausing what played. Cheap enough to call on every frame.
void audio_settle_device(AudioSystem* audio);

// What the engine can tell about itself, for the player and its tests.
// Streams on a channel, fading out included.
int audio_playing_count(const AudioSystem* audio);
// Streams created and not yet released.
int audio_sound_count(const AudioSystem* audio);
// A SOUND_* code.
int audio_sound_state(const AudioSound* sound);
// Whether the output is open: playing, lingering, or still connecting.
bool audio_device_open(const AudioSystem* audio);
// The format the mix is written in.
AudioOutput audio_output_format(const AudioSystem* audio);
// Why the last create or play failed.
const char* audio_last_error(const AudioSystem* audio);
