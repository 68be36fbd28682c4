// Sleeping until the frame loop has work: an event from the window system, a
// quit signal, or the audio engine asking to settle its device.
#pragma once

#include "app/state.h"

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it
// starts afterwards, so that they are taken only while wait_for_events
// sleeps and always wake it. Call before anything starts a thread.
void hold_quit_signals();

// Returns once SDL has an event queued, the pointer is no longer where
// input says the last frame sampled it, or wake_fd (unless -1) is readable.
// On X11 it sleeps on the X connection itself; with other video drivers it
// looks every 10 ms, as SDL_WaitEvent does. A SIGINT or SIGTERM always
// wakes it, and SDL turns them into a quit event.
void wait_for_events(const InputState* input, int wake_fd);
