// The frame loop's sleep: in the kernel on the window system's connection,
// not in a poll that wakes a hundred times a second as SDL 1.2's
// SDL_WaitEvent does.
#include "app/wait.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

#include "display/screen.h"

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

// On Wayland the window is SDL 2's, under sdl12-compat: SDL 1.2's
// SDL_GetWMInfo knows only X11. sdl12-compat hands out its SDL 2 window, and
// SDL 2 (or sdl2-compat on SDL 3) tells the wl_display it was made on. Both
// libraries, and libwayland-client, are already loaded by then; none is
// linked here, so that the player needs none of them on X11 or classic SDL.
constexpr char SDL2_LIBRARY[] = "libSDL2-2.0.so.0";
constexpr char WAYLAND_LIBRARY[] = "libwayland-client.so.0";

// SDL 2's SDL_SysWMinfo, whose layout SDL 2 keeps for good: the version, the
// subsystem, then a union of 64 bytes that begins, for Wayland, with the
// wl_display.
struct Sdl2Version {
    Uint8 major;
    Uint8 minor;
    Uint8 patch;
};
constexpr int SDL2_SYSWM_WAYLAND = 6;
constexpr int SDL2_SYSWM_INFO_SIZE = 64;
struct Sdl2WindowInfo {
    Sdl2Version version;
    int subsystem;
    union {
        void* wayland_display;
        Uint8 whole[SDL2_SYSWM_INFO_SIZE];
    } info;
};

// The calls a thread that sleeps on a wl_display makes, by libwayland's
// rules for reading from more than one place.
struct WaylandCalls {
    int (*get_fd)(void*);
    int (*prepare_read)(void*);
    int (*read_events)(void*);
    void (*cancel_read)(void*);
    int (*flush)(void*);
    int (*get_error)(void*);
};

struct WaylandLink {
    void* display; // nullptr when the window is not on Wayland
    WaylandCalls calls;
};

template <typename Call> bool look_up(void* library, const char* name, Call* call)
{
    *call = reinterpret_cast<Call>(dlsym(library, name));
    return *call != nullptr;
}

// Fills link when SDL's window is a Wayland one.
bool wayland_link(WaylandLink* link)
{
    link->display = nullptr;
    void* (*sdl12_window)() = nullptr;
    if (!look_up(RTLD_DEFAULT, "SDL12COMPAT_GetWindow", &sdl12_window)) {
        return false;
    }
    void* window = sdl12_window();
    // NOLOAD: only the copies already in the process, never new ones. The
    // handles are let go at once; the libraries stay as SDL holds them.
    void* sdl2 = dlopen(SDL2_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    if (window == nullptr || sdl2 == nullptr) {
        return false;
    }
    void (*get_version)(Sdl2Version*) = nullptr;
    int (*get_window_info)(void*, Sdl2WindowInfo*) = nullptr;
    Sdl2WindowInfo info = {};
    if (look_up(sdl2, "SDL_GetVersion", &get_version) && look_up(sdl2, "SDL_GetWindowWMInfo", &get_window_info)) {
        get_version(&info.version);
        if (get_window_info(window, &info) != 1 || info.subsystem != SDL2_SYSWM_WAYLAND) {
            info.info.wayland_display = nullptr;
        }
    }
    dlclose(sdl2);
    void* wayland = info.info.wayland_display == nullptr ? nullptr : dlopen(WAYLAND_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    if (wayland == nullptr) {
        return false;
    }
    WaylandCalls* c = &link->calls;
    bool found = look_up(wayland, "wl_display_get_fd", &c->get_fd) &&
                 look_up(wayland, "wl_display_prepare_read", &c->prepare_read) &&
                 look_up(wayland, "wl_display_read_events", &c->read_events) &&
                 look_up(wayland, "wl_display_cancel_read", &c->cancel_read) &&
                 look_up(wayland, "wl_display_flush", &c->flush) &&
                 look_up(wayland, "wl_display_get_error", &c->get_error);
    dlclose(wayland);
    if (found) {
        link->display = info.info.wayland_display;
    }
    return found;
}

// Readies the sleep on the Wayland display: SDL's pump has just read and
// dispatched what came, and prepare_read makes sure nothing read since waits
// in the queue; whatever arrives later makes the fd readable. False when
// events wait in the queue after all (some other reader): the caller then
// looks again after a tick, not at once, so that it never spins.
bool prepare_wayland_sleep(const WaylandLink* link, pollfd* fd)
{
    const WaylandCalls* c = &link->calls;
    if (c->prepare_read(link->display) != 0) {
        return false;
    }
    // What SDL asked of the compositor since its pump must reach it before
    // the sleep, or the answer would never come.
    short events = POLLIN;
    if (c->flush(link->display) < 0) {
        if (errno != EAGAIN) {
            c->cancel_read(link->display);
            leave_for_lost_display();
        }
        events |= POLLOUT;
    }
    *fd = {c->get_fd(link->display), events, 0};
    return true;
}

// Ends the read prepare_wayland_sleep began: what came is read into the
// queue, for SDL's next pump to dispatch.
void finish_wayland_sleep(const WaylandLink* link, const pollfd* fd)
{
    const WaylandCalls* c = &link->calls;
    if ((fd->revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        c->cancel_read(link->display);
        return;
    }
    if (c->read_events(link->display) < 0 || c->get_error(link->display) != 0) {
        leave_for_lost_display();
    }
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
    WaylandLink wayland = {};
    if (display == nullptr) {
        wayland_link(&wayland);
    }
    for (;;) {
        // Pumps first: turns what the window system sent, and any quit a
        // signal left pending, into SDL events.
        if (SDL_PollEvent(nullptr) != 0 || pointer_moved_since(input)) {
            return;
        }
        pollfd fds[3];
        nfds_t count = 0;
        bool sleeps_on_display = false;
        if (display != nullptr) {
            // Xlib may have read events off the connection while SDL drew
            // (replies and events arrive together); those would never make
            // the connection readable again. This also flushes requests, so
            // that the server answers them.
            if (XEventsQueued(display, QueuedAfterFlush) > 0) {
                continue;
            }
            fds[count++] = {ConnectionNumber(display), POLLIN, 0};
            sleeps_on_display = true;
        } else if (wayland.display != nullptr && prepare_wayland_sleep(&wayland, &fds[count])) {
            ++count;
            sleeps_on_display = true;
        }
        bool reading_wayland = sleeps_on_display && display == nullptr;
        // Whatever wakes on these is served by the frame, not here.
        nfds_t first_served = count;
        if (wake_fd >= 0) {
            fds[count++] = {wake_fd, POLLIN, 0};
        }
        if (bus->fd >= 0) {
            fds[count++] = {bus->fd, bus->events, 0};
        }
        timespec timeout = {0, FALLBACK_TICK_NS};
        bool timed = !sleeps_on_display;
        if (bus->deadline != BUS_NO_DEADLINE) {
            uint64_t now = monotonic_us();
            if (bus->deadline <= now) {
                if (reading_wayland) {
                    wayland.calls.cancel_read(wayland.display);
                }
                return;
            }
            uint64_t left = bus->deadline - now;
            if (!timed || left < FALLBACK_TICK_NS / NS_PER_US) {
                timeout = from_us(left);
            }
            timed = true;
        }
        int ready = ppoll(fds, count, timed ? &timeout : nullptr, &during_sleep);
        if (reading_wayland) {
            if (ready < 0) {
                fds[0].revents = 0;
            }
            finish_wayland_sleep(&wayland, &fds[0]);
        }
        for (nfds_t i = first_served; ready > 0 && i < count; ++i) {
            if (fds[i].revents != 0) {
                return;
            }
        }
    }
}
