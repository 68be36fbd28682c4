// The audio engine's records, and which thread owns each. The caller's page
// is engine.h; this one is for the engine's own files and its tests.
//
// Four threads meet here:
//   the caller's   every function of engine.h; opens, closes and holds the
//                  output (output.h); owns AudioCaller. It changes what plays
//                  only while it holds the output, which keeps the mix out.
//   streaming      decodes ahead for the song that plays, releases finished
//                  sounds, watches a sound server for a stall (streamer.h)
//   callback       mixes (mixer.h): SDL's audio thread, or libpulse's
//                  mainloop thread when the server asks for more; owns
//                  AudioMix and AudioHistory, and each sound's mix fields
//   libpulse's     runs the sound server's callbacks, the mix among them,
//   mainloop       under the mainloop's lock (output_pulse.h)
// AudioConfig is written before any other thread starts and only read
// afterwards. The rest is shared through atomics: the pause flag, the
// output's state, and each sound's state, whose table below says who moves
// it on. The callback never waits on a lock held for long: the caller holds
// the output only to swap what plays and, on a sound server, to write the
// mix again from the listener on.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "playback/decoder.h"
#include "playback/output_pulse.h"
#include "playback/ring.h"

// Room for one line saying why a stream could not be created.
constexpr int AUDIO_ERROR_SIZE = 512;
// The song playing, the one fading out behind it, the next one being
// opened, and the one the streaming thread may still be decoding from
// before a fast stop and play: never more at once, so a play never waits.
constexpr int AUDIO_SOUNDS = 4;
// Frames the mixer works through at a time. With a sound server's output
// the chunks start at multiples of this, and the mix can be wound back to
// the start of any chunk the server still holds.
constexpr int AUDIO_MIX_CHUNK = 512;
// Chunks whose start the mix remembers: 683 ms at 48 kHz, more than the
// sound server is asked to hold.
constexpr int AUDIO_HISTORY_MARKS = 64;

// The life of a sound, one way only, and which thread moves it on:
//   FREE -> CLAIMED -> OPEN     caller: create (CLAIMED while the file opens)
//   CLAIMED -> FREE             caller: the file would not open as a stream
//   OPEN -> PLAYING             caller: play
//   OPEN -> FREE                caller: release an unplayed sound
//   PLAYING -> STOPPING         caller: stop, or a play of another song
//   PLAYING, STOPPING -> DONE   callback: the listener has heard its last
//                               frame; caller: at a change, or when the
//                               output closes, for one that can no longer
//                               be heard
//   DONE -> CLAIMED -> FREE     streaming thread: decoder and ring released
//   DONE -> CLAIMED -> OPEN     caller: create, when no sound is free
// The decoder is the caller's until PLAYING and the streaming thread's from
// then on; the ring is written by whoever holds the decoder and read by the
// callback. Winding the mix back moves rings and fades, never states.
constexpr int SOUND_FREE = 0;
constexpr int SOUND_CLAIMED = 1;
constexpr int SOUND_OPEN = 2;
constexpr int SOUND_PLAYING = 3;
constexpr int SOUND_STOPPING = 4;
constexpr int SOUND_DONE = 5;

struct AudioSound {
    std::atomic<int> state;      // SOUND_*
    std::atomic<bool> fully_fed; // the whole stream is in the ring
    // The callback's, and the caller's while it holds the output:
    float fade;                 // 1 playing .. 0 stopped
    int64_t started_at;         // the output frame it started at
    int64_t ended_at;           // the output frame its last sound was mixed before, -1 while it sounds
    char name[PULSE_NAME_SIZE]; // the file's name as UTF-8, for the sound server to show; the caller's
    AudioRing ring;
    StreamDecoder decoder;
};

// What the output plays: sample rate, interleaved channel count and SDL
// sample format. Every output takes 16-bit stereo in the machine's byte
// order (AUDIO_S16SYS), converted by SDL where a device wants another.
constexpr int AUDIO_FRAME_BYTES = RING_CHANNELS * sizeof(int16_t);
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
    AudioOutput output;
    int fade_frames;   // output frames a pause, resume or stop ramp takes
    int ahead_frames;  // how far the streaming thread decodes ahead
    int low_frames;    // the mix wakes the streaming thread when a ring holds less ahead
    int start_frames;  // how much a stream holds decoded before it plays
    int linger_frames; // quiet output frames heard before the output may close
};

// The caller's thread only.
struct AudioCaller {
    bool created;
    bool running;                      // started and not yet closed
    char last_error[AUDIO_ERROR_SIZE]; // why the last create or play failed
};

// The output's life, between the caller that opens and closes it and the
// threads that watch it.
struct AudioDevice {
    std::atomic<bool> open; // caller writes
    // Output frames the listener has heard since anything last sounded;
    // written by whoever learns what was heard (the callback, or libpulse's
    // thread), by the caller only while the output is closed.
    std::atomic<int64_t> quiet_frames;
    std::atomic<bool> told; // the caller has been told to settle since the output opened
    int notify_fd = -1;     // written by any thread, read by the caller
};

// The audio callback's, and the caller's while it holds the output.
struct AudioMix {
    float group_gain;      // the pause fade: 1 playing .. 0 paused
    int64_t last_sounding; // the output frame after the last one anything sounded in
    // Frames the mix filled with silence while a song played and had more
    // to come: the streaming thread fell behind. Any thread reads.
    std::atomic<int64_t> underrun_frames;
    float mix[AUDIO_MIX_CHUNK * RING_CHANNELS];
    float gains[AUDIO_MIX_CHUNK];
    int16_t taken[AUDIO_MIX_CHUNK * RING_CHANNELS];
};

// The mix as it was at the start of a chunk the sound server still holds:
// enough to wind it back there and write it again.
struct MixMark {
    int64_t frame; // the output frame the chunk starts at
    float group_gain;
    int64_t last_sounding;
    uint32_t ring_read[AUDIO_SOUNDS];
    float fade[AUDIO_SOUNDS];
    int64_t ended_at[AUDIO_SOUNDS];
};

// What the output has been given and may still take back (history.h).
struct AudioHistory {
    int64_t mixed; // output frames mixed since the output last started
    int oldest;    // the oldest mark's index in marks
    int count;     // marks held
    MixMark marks[AUDIO_HISTORY_MARKS];
};

// The streaming thread, and how the others wake it.
struct AudioStreamer {
    std::thread thread;
    int wake_fd = -1;          // an eventfd: any thread writes, the streaming thread waits on it
    std::atomic<bool> quit;    // caller writes
    std::atomic<bool> woken;   // a wake is pending: the mix asks once
    std::atomic<int> decoding; // the sound being decoded now, -1 for none
};

struct AudioSystem {
    AudioConfig config;
    AudioCaller caller;
    AudioDevice device;
    PulseOutput pulse;
    AudioMix mixing;
    AudioHistory history;
    AudioStreamer streamer;
    std::atomic<bool> paused; // the caller writes while it holds the output; all read
    AudioSound sounds[AUDIO_SOUNDS];
};
