// The streaming thread: decodes ahead for every playing stream, releases the
// streams that have ended, and tells the caller when the output has gone
// quiet or a sound server has stalled. It sleeps while nothing plays.
#pragma once

#include "playback/engine.h"

// Starts the thread. On failure writes one line into error.
bool streamer_start(AudioSystem* audio, char* error, int error_size);
// Asks the thread to end and waits for it; safe when it never started.
void streamer_stop(AudioSystem* audio);
// Makes the thread look at the streams now: after a play, a pause, a resume
// or a stop. Caller's thread.
void streamer_wake(AudioSystem* audio);
// One pass of the thread's work. Without a thread the caller runs it, and
// everything then happens on one thread.
void audio_service_streams(AudioSystem* audio);
// Closes a sound's decoder and file, empties its ring and frees its slot:
// the streaming thread's once the sound is done, the caller's while it was
// never played or once the thread has stopped.
void sound_release(AudioSound* sound);
