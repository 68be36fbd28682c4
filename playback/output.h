// The seam between the engine and its outputs, and the only place that knows
// which one plays: SDL's audio device (output_sdl.h), a stream of the
// engine's own on the sound server (output_pulse.h), or none, when the
// caller mixes itself (audio_system_start).
//
// The outputs say what happened (what was heard, that a server was lost,
// that the output may close); the engine decides what follows.
//
// Threads: everything is the caller's, but output_notify (any thread) and
// output_watch (the streaming thread).
#pragma once

#include <cstdint>

#include "playback/system.h"

// Chooses the output, learns the format it plays and makes the notification
// descriptor. The sound server's when pulse_wanted and a server answers or
// has not refused yet; otherwise SDL's device, opened once and left open and
// silent for output_begin. On failure writes one line into error.
bool output_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted, char* error, int error_size);
// Lets a probed output call back, once the engine has started.
void output_begin(AudioSystem* audio);
// Something is to sound (a play, or a resume): opens the output if it is
// closed. name is the song's, for the desktop to show; nullptr keeps the
// last. False, with audio_last_error saying why, when it would not open.
bool output_start(AudioSystem* audio, const char* name);
// Keeps the mix to the caller until output_release. With wind_back, the
// mix is first wound back to what the listener is about to hear, so that a
// change made before output_release is heard at once.
void output_hold(AudioSystem* audio, bool wind_back);
// Writes the mix again from where output_hold wound it back, and gives it
// back to the output.
void output_release(AudioSystem* audio);
// Whether a callback mixes, or will as soon as the output is ready, so that
// a stop will be faded.
bool output_mixing(const AudioSystem* audio);
// Whether the output was lost: the sound server went away or stopped
// answering. Any thread.
bool output_failed(const AudioSystem* audio);
// Where the listener was when the output was lost, as near as the server's
// last word and the clock since tell. While held.
int64_t output_heard_last(AudioSystem* audio);
// The streaming thread's look at the output: asks a server that has been
// silent, and tells the caller of one that no longer answers. Returns how
// many milliseconds until it should look again, -1 for never.
int output_watch(AudioSystem* audio);
// Tells the caller's thread to settle the output. Any thread.
void output_notify(AudioSystem* audio);
// Takes the notification.
void output_take_notification(AudioSystem* audio);
// Closes the output until something sounds again; one that was lost is
// given up, so that the next start connects afresh.
void output_stop(AudioSystem* audio);
// Closes the output and the notification descriptor for good.
void output_close(AudioSystem* audio);
// The notification descriptor, or -1 when the caller mixes itself.
int output_notify_fd(const AudioSystem* audio);
