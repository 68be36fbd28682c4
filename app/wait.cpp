// The frame loop's sleep: in the kernel on the X connection, not in a poll
// that wakes a hundred times a second as SDL 1.2's SDL_WaitEvent does.
#include "app/wait.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>
#include <signal.h>

#include <ctime>

namespace {

// How often the fallback looks for events, as SDL_WaitEvent does.
constexpr long FALLBACK_TICK_NS = 10'000'000;
constexpr uint64_t NS_PER_US = 1'000;
constexpr uint64_t US_PER_S = 1'000'000;

sigset_t quit_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The X connection SDL reads its events from, or nullptr when the video
// driver is not X11.
Display* x_display()
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11) {
        return nullptr;
    }
    return info.info.x11.display;
}

// The hover codes come from the pointer as the frame sampled it, before
// its event. A move that the frame's own event read brought in arrives after
// that sample: without one more frame the old codes would stay lit until
// some later event.
bool pointer_moved_since(const InputState* input)
{
    int x = 0;
    int y = 0;
    SDL_GetMouseState(&x, &y);
    return x != input->mouse_x || y != input->mouse_y;
}

uint64_t monotonic_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * US_PER_S + static_cast<uint64_t>(now.tv_nsec) / NS_PER_US;
}

timespec from_us(uint64_t us)
{
    return {static_cast<time_t>(us / US_PER_S), static_cast<long>(us % US_PER_S * NS_PER_US)};
}

} // namespace

void hold_quit_signals()
{
    sigset_t set = quit_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_events(const InputState* input, int wake_fd, const BusWait* bus)
{
    // The signals are let in only inside ppoll, atomically with the sleep:
    // SDL's handler then runs on this thread and the sleep ends at once.
    sigset_t during_sleep;
    pthread_sigmask(SIG_SETMASK, nullptr, &during_sleep);
    sigdelset(&during_sleep, SIGINT);
    sigdelset(&during_sleep, SIGTERM);

    Display* display = x_display();
    for (;;) {
        // Pumps first: turns what Xlib has read, and any quit a signal
        // left pending, into SDL events.
        if (SDL_PollEvent(nullptr) != 0 || pointer_moved_since(input)) {
            return;
        }
        pollfd fds[3];
        nfds_t count = 0;
        if (display != nullptr) {
            // Xlib may have read events off the connection while SDL drew
            // (replies and events arrive together); those would never make
            // the connection readable again. This also flushes requests, so
            // that the server answers them.
            if (XEventsQueued(display, QueuedAfterFlush) > 0) {
                continue;
            }
            fds[count++] = {ConnectionNumber(display), POLLIN, 0};
        }
        // Whatever wakes on these is served by the frame, not here.
        nfds_t first_served = count;
        if (wake_fd >= 0) {
            fds[count++] = {wake_fd, POLLIN, 0};
        }
        if (bus->fd >= 0) {
            fds[count++] = {bus->fd, bus->events, 0};
        }
        timespec timeout = {0, FALLBACK_TICK_NS};
        bool timed = display == nullptr;
        if (bus->deadline != BUS_NO_DEADLINE) {
            uint64_t now = monotonic_us();
            if (bus->deadline <= now) {
                return;
            }
            uint64_t left = bus->deadline - now;
            if (!timed || left < FALLBACK_TICK_NS / NS_PER_US) {
                timeout = from_us(left);
            }
            timed = true;
        }
        int ready = ppoll(fds, count, timed ? &timeout : nullptr, &during_sleep);
        for (nfds_t i = first_served; ready > 0 && i < count; ++i) {
            if (fds[i].revents != 0) {
                return;
            }
        }
    }
}
