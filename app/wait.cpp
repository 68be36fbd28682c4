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

} // namespace

void hold_quit_signals()
{
    sigset_t set = quit_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_for_events(const InputState* input, int wake_fd)
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
        pollfd fds[2];
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
        if (wake_fd >= 0) {
            fds[count++] = {wake_fd, POLLIN, 0};
        }
        timespec tick = {0, FALLBACK_TICK_NS};
        int ready = ppoll(fds, count, display != nullptr ? nullptr : &tick, &during_sleep);
        if (ready > 0 && wake_fd >= 0 && (fds[count - 1].revents & POLLIN) != 0) {
            return;
        }
    }
}
