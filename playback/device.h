// SDL's audio device, open only while something sounds. Opened and closed on
// the caller's thread only, never from the callback; the streaming thread
// watches it go quiet.
#pragma once

#include "playback/engine.h"

// Opens the device for the first time to learn that there is one and what it
// plays, writing its format into granted, and makes the descriptor that
// audio_notify_fd hands out. The device is left open and silent for
// device_start.
bool device_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted, char* error, int error_size);
// Lets the probed device call back. It then closes as any quiet device does.
void device_start(AudioSystem* audio);
// Opens the device again if it has closed, asking for exactly the format it
// granted first, and starts the callback. False, with audio_last_error
// saying why, when it would not open.
bool device_ensure_open(AudioSystem* audio);
// Whether the device is open and may close: nothing has sounded for the
// linger time, and nothing asked for since is still waiting for the
// callback. Any thread.
bool device_may_close(const AudioSystem* audio);
// Tells the caller's thread that the device may close. Streaming thread.
void device_notify_quiet(AudioSystem* audio);
// Closes the device when it may close, and takes the notification.
void device_settle(AudioSystem* audio);
// Closes the device and the notification descriptor for good.
void device_close(AudioSystem* audio);
