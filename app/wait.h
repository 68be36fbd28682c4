// Sleeping until the frame loop has work: an event from the window system, a
// quit signal, the audio engine asking to settle its device, or traffic on
// the session bus.
#pragma once

#include <cstdint>

#include "app/state.h"

// A connection polled as its library asks: for these events on its fd, and
// until the deadline that library keeps for its own timeouts.
struct BusWait {
    int fd;            // -1 when there is no connection
    short events;      // as poll(2) takes them
    uint64_t deadline; // CLOCK_MONOTONIC microseconds; BUS_NO_DEADLINE for none
};
constexpr uint64_t BUS_NO_DEADLINE = UINT64_MAX;
// A deadline long past: the wait returns at once.
constexpr uint64_t BUS_AT_ONCE = 0;

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it
// starts afterwards, so that they are taken only while wait_for_events
// sleeps and always wake it. Call before anything starts a thread.
void hold_quit_signals();

// Returns once SDL has an event queued, the pointer is no longer where
// input says the last frame sampled it, wake_fd (unless -1) is readable, or
// the bus has an event or reached its deadline.
// On X11 it sleeps on the X connection itself, on Wayland on the Wayland
// display's; with other video drivers it looks every 10 ms, as
// SDL_WaitEvent does. Ends the process, as the display does, when the
// Wayland connection is found broken. A SIGINT or SIGTERM always
// wakes it, and SDL turns them into a quit event.
void wait_for_events(const InputState* input, int wake_fd, const BusWait* bus);
