// The audio engine: one song at a time, decoded ahead on a streaming thread,
// the song before it fading out under a stop or a new play, mixed into an
// output: SDL's audio device, or a stream of the engine's own on the
// desktop's sound server (PulseAudio, or PipeWire's pulse server). Nothing
// here waits on the server or on the engine's other threads.
//
// Every function here is for the caller's thread. The records, and which
// thread owns what, are in system.h.
//
// The output is open only while something sounds: a sound server serves an
// open stream whether it carries music or silence, so an idle player that
// kept one open would cost CPU for nothing.
#pragma once

#include "playback/system.h"

// Prepares the record; opens nothing.
bool audio_system_create(AudioSystem* audio);
// Chooses the output, learns its format, and starts the streaming thread.
// The output is the sound server's when SDL_AUDIODRIVER is unset or names
// pulseaudio first and a server answers, or is still being asked; otherwise
// SDL's device, which is opened once to see that there is one. Either opens
// for good only when something plays. On failure writes one line naming what
// failed into error and returns false.
bool audio_system_init(AudioSystem* audio, char* error, int error_size);
// Starts the engine for an output that the caller drives by calling
// audio_mix itself, with no device. Without a streaming thread the caller
// also calls audio_service_streams; everything then runs on one thread.
bool audio_system_start(AudioSystem* audio, const AudioOutput* output, bool streaming_thread, char* error,
                        int error_size);
// Stops the streaming thread and releases every stream. Safe after SDL_Quit,
// and safe when create or init never ran or failed.
void audio_system_close(AudioSystem* audio);

// Opens a file as a stream; nullptr at once when it is not a readable regular
// file holding MPEG audio.
AudioSound* audio_create_stream(AudioSystem* audio, const char* path);
// Plays a stream from its start; the song playing, if any, fades out. Opens
// the output if it is closed; a sound server's stream may connect after this
// returns. From then on the engine owns the stream and releases it once it
// has stopped or played to its end. False when the stream was not playable
// or the output would not open (audio_last_error says why); the stream is
// then still the caller's.
bool audio_play_sound(AudioSystem* audio, AudioSound* sound);
// Releases a stream that was created but never played.
void audio_release_sound(AudioSystem* audio, AudioSound* sound);

// Reads back as last set, or as the engine set it itself (below).
bool audio_paused(const AudioSystem* audio);
// Pausing fades everything out and holds its place; resuming fades it in
// from there, opening the output again if it closed meanwhile. False when a
// resume found the output would not open: it then stays paused. The engine
// also pauses by itself when the sound server goes away or stops answering
// while something plays: what was heard last is where a resume goes on from.
bool audio_set_paused(AudioSystem* audio, bool paused);
// Fades out and ends everything playing.
void audio_stop(AudioSystem* audio);

// Readable when the caller should call audio_settle_device: the output has
// been quiet long enough to close, or the sound server went away. -1 when
// the engine has no output of its own.
int audio_notify_fd(const AudioSystem* audio);
// Closes the output once stops and pauses have faded out, nothing plays and
// the listener has heard all that sounded; gives up a sound server that went
// away or stalled, pausing what played. Cheap enough to call on every frame.
void audio_settle_device(AudioSystem* audio);

// What the engine can tell about itself, for the player and its tests.
// Streams that play or fade out.
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
// Output frames the mix filled with silence because a song's decoding fell
// behind; 0 while the engine keeps up.
int64_t audio_underrun_frames(const AudioSystem* audio);
