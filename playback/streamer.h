// The streaming thread: decodes ahead for the song that plays, releases the
// sounds that are done, and watches a sound server for a stall. It sleeps
// until it is asked: by a play, a resume or a stop, by the mix when a ring
// runs low or a sound is done, and, while a sound server's stream is open,
// when the server has been silent for long enough to ask after it.
#pragma once

#include "playback/system.h"

// Starts the thread. On failure writes one line into error.
bool streamer_start(AudioSystem* audio, char* error, int error_size);
// Asks the thread to end and waits for it; safe when it never started.
void streamer_stop(AudioSystem* audio);
// Makes the thread look at the sounds soon. Any thread, the callback too:
// it never waits.
void streamer_ask(AudioSystem* audio);
// One pass of the thread's work. Without a thread the caller runs it, and
// everything then happens on one thread.
void audio_service_streams(AudioSystem* audio);
// Closes a sound's decoder and file and empties its ring: the thread's once
// the sound is done, the caller's while it was never played, when it takes
// a done sound over, or once the thread has stopped.
void sound_release(AudioSound* sound);
