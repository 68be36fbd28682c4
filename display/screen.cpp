// Bringing SDL's video and SDL_ttf up and down, and the window itself.
#include "display/screen.h"

#include <SDL_ttf.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/layout.h"

namespace {

constexpr Uint32 WINDOW_FLAGS = SDL_HWSURFACE | SDL_RESIZABLE | SDL_DOUBLEBUF;

// What SDL falls back on when it finds no display: they show nothing, so
// the player would run unseen.
constexpr const char* INVISIBLE_DRIVERS[] = {"offscreen", "dummy"};
constexpr int DRIVER_NAME_SIZE = 32;

constexpr char DISPLAY_LOST_LINE[] = "klamor: lost the connection to the display\n";
constexpr int ERROR_LINE_SIZE = 96;

// Xlib calls this when the connection to the X server breaks, and ends the
// process if it returns.
int on_display_lost(Display*)
{
    leave_for_lost_display();
}

// Xlib calls this for a request the server refused. SDL guards the few calls
// a live server may refuse with handlers of its own, and lets any other
// refusal end the process through Xlib's handler, which prints five lines.
// One comes when the window went from under the player: a dying XWayland
// answers BadWindow before the connection breaks. Said in one line, and left
// as on_display_lost leaves.
int on_request_refused(Display*, XErrorEvent* refusal)
{
    char line[ERROR_LINE_SIZE];
    int length = std::snprintf(line, sizeof line, "klamor: lost the display (X error %d on request %d.%d)\n",
                               refusal->error_code, refusal->request_code, refusal->minor_code);
    ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(std::min<int>(length, sizeof line - 1)));
    (void)written;
    _exit(1);
}

bool is_set(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

// Before SDL starts: without a driver named by the user and without a display
// to talk to, SDL would search every driver (some print on the way) and end
// up on one that shows nothing.
bool display_named(char* error, int error_size)
{
    if (is_set("SDL_VIDEODRIVER") || is_set("DISPLAY") || is_set("WAYLAND_DISPLAY")) {
        return true;
    }
    std::snprintf(error, error_size, "cannot open a display: neither DISPLAY nor WAYLAND_DISPLAY is set");
    return false;
}

// A driver the user named is used whatever it is; one SDL fell back on must
// show a window.
bool shows_a_window(char* error, int error_size)
{
    char driver[DRIVER_NAME_SIZE] = "";
    if (SDL_VideoDriverName(driver, sizeof driver) == nullptr) {
        driver[0] = '\0';
    }
    if (std::strcmp(driver, "x11") == 0) {
        XSetIOErrorHandler(on_display_lost);
        XSetErrorHandler(on_request_refused);
    }
    if (is_set("SDL_VIDEODRIVER")) {
        return true;
    }
    for (const char* invisible : INVISIBLE_DRIVERS) {
        if (std::strcmp(driver, invisible) == 0) {
            std::snprintf(error, error_size, "cannot open a display: SDL found none it can show a window on");
            return false;
        }
    }
    return true;
}

} // namespace

void leave_for_lost_display()
{
    ssize_t written = write(STDERR_FILENO, DISPLAY_LOST_LINE, sizeof DISPLAY_LOST_LINE - 1);
    (void)written;
    _exit(1);
}

bool start_display(char* error, int error_size)
{
    if (!display_named(error, error_size)) {
        return false;
    }
    // Video only: nothing here uses SDL's timers, and classic SDL 1.2's timer
    // thread, once started, wakes every millisecond for ever.
    if (SDL_Init(SDL_INIT_VIDEO) < 0) {
        std::snprintf(error, error_size, "cannot initialise SDL: %s", SDL_GetError());
        return false;
    }
    if (!shows_a_window(error, error_size)) {
        return false;
    }
    if (TTF_Init() < 0) {
        std::snprintf(error, error_size, "cannot initialise SDL_ttf: %s", TTF_GetError());
        return false;
    }
    return true;
}

void stop_display()
{
    if (TTF_WasInit() != 0) {
        TTF_Quit();
    }
    SDL_Quit();
}

bool open_window(SkinSet* skin, int width, const char* caption, char* error, int error_size)
{
    SDL_WM_SetCaption(caption, nullptr);
    // A previous screen belongs to SDL and is not freed.
    SDL_Surface* held = skin->slots[SLOT_SCREEN];
    if (held != nullptr && held != SDL_GetVideoSurface()) {
        SDL_FreeSurface(held);
    }
    skin->slots[SLOT_SCREEN] = SDL_SetVideoMode(width, WINDOW_HEIGHT, WINDOW_DEPTH, WINDOW_FLAGS);
    if (skin->slots[SLOT_SCREEN] == nullptr) {
        std::snprintf(error, error_size, "cannot create the %d x %d window: %s", width, WINDOW_HEIGHT, SDL_GetError());
        return false;
    }
    // SDL 1.2 hands out a cleared screen, but a compatibility layer may not:
    // the column between the backgrounds, which none covers in the browser
    // view, then showed stale memory instead of a black seam.
    SDL_FillRect(skin->slots[SLOT_SCREEN], nullptr, 0);
    return true;
}

void flip_screen(SkinSet* skin)
{
    if (skin->slots[SLOT_SCREEN] != nullptr) {
        SDL_Flip(skin->slots[SLOT_SCREEN]);
    }
}
