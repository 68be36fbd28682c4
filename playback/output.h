// The seam between the engine and its outputs, and the only place that knows
// which one plays: SDL's audio device (output_sdl.h), a stream of the
// engine's own on the sound server (output_pulse.h), or none, when the
// caller mixes itself (audio_system_start).
//
// The output is open only while something sounds or lingers: it opens for a
// play or a resume, and closes once stops and pauses have faded out and the
// listener has heard them; the streaming thread tells the caller when,
// through the notification descriptor, and the caller closes it.
//
// Threads: everything is the caller's, but output_may_close,
// output_needs_settling and output_notify, which any thread may call.
#pragma once

#include "playback/engine.h"

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
// Keeps the mix to the caller, wound back to what the listener is about to
// hear, so that a change the caller makes to the streams or the group
// before output_release is heard at once.
void output_hold(AudioSystem* audio);
// Writes the mix again from where output_hold wound it back, and gives it
// back to the output.
void output_release(AudioSystem* audio);
// Whether a callback mixes, or will as soon as the output is ready, so that
// a stop will be faded.
bool output_mixing(const AudioSystem* audio);
// Whether the output is open and may close: nothing has sounded for the
// linger time, and nothing asked for since is still waiting for the
// callback.
bool output_may_close(const AudioSystem* audio);
// Whether the caller should settle the output: it may close, or it failed.
bool output_needs_settling(const AudioSystem* audio);
// Tells the caller's thread to settle the output.
void output_notify(AudioSystem* audio);
// Takes the notification; closes the output when it may close, or gives up
// one that failed (the group is then paused where the listener was).
void output_settle(AudioSystem* audio);
// Closes the output and the notification descriptor for good.
void output_close(AudioSystem* audio);
// The notification descriptor, or -1 when the caller mixes itself.
int output_notify_fd(const AudioSystem* audio);
