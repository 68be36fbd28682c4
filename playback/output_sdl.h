// SDL's audio device as the engine's output: ALSA, the disk writer, the dummy
// driver, or whatever SDL_AUDIODRIVER names. Opened and closed on the
// caller's thread only, never from the callback; SDL's audio thread runs
// the mix.
#pragma once

#include "playback/system.h"

// Opens the device for the first time to learn that there is one and what it
// plays, writing its format into granted. The device is left open and silent
// for sdl_start.
bool sdl_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted, char* error, int error_size);
// Lets the probed device call back. It then closes as any quiet device does.
void sdl_start(AudioSystem* audio);
// Opens the device again if it has closed, asking for exactly the format it
// granted first, and starts the callback. False, with audio_last_error
// saying why, when it would not open.
bool sdl_open(AudioSystem* audio);
// Closes the device; the callback has stopped when this returns. Safe after
// SDL_Quit.
void sdl_close(AudioSystem* audio);
