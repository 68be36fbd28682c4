// Klamor, the Drumble Maker BOX: a small skinned MP3 player.
#include <stdlib.h>

#include <cstdio>

#include "app/frame.h"
#include "app/wait.h"

namespace {

struct EnvironmentDefault {
    const char* name;
    const char* value;
};

// How the player asks SDL to behave, where the user's environment says
// nothing else.
//
// Present through SDL's software renderer and the window system's own
// framebuffer. The window is a few 16-bit blits, but sdl12-compat presents
// through OpenGL by default, and a software OpenGL stack maps a whole shader
// compiler into the process: on X11 without a GPU driver about 100 MB
// resident instead of 14, and five more threads.
constexpr EnvironmentDefault SDL_DEFAULTS[] = {
    {"SDL12COMPAT_OPENGL_SCALING", "0"},
    {"SDL_RENDER_DRIVER", "software"},
    {"SDL_FRAMEBUFFER_ACCELERATION", "0"},
    // A click on the window while it is not focused still clicks, as it
    // always did in SDL 1.2; otherwise the first click after the pointer
    // enters the window may be lost.
    {"SDL_MOUSE_FOCUS_CLICKTHROUGH", "1"},
    // The window's class, by which docks match it to klamor.desktop; SDL
    // would take the program's file name, which an install may change.
    {"SDL_VIDEO_X11_WMCLASS", "klamor"},
};

} // namespace

int main(int, char**)
{
    // Before SDL or the audio engine starts a thread of its own.
    hold_quit_signals();
    // Only where the user has not set them: their own SDL settings win.
    for (const EnvironmentDefault& setting : SDL_DEFAULTS) {
        setenv(setting.name, setting.value, 0);
    }
    // With an X display at hand, X11 even where SDL would take Wayland first
    // (SDL 3 does): there the idle player sleeps on one connection, and
    // presents without EGL.
    const char* x_display = getenv("DISPLAY");
    if (x_display != nullptr && x_display[0] != '\0') {
        setenv("SDL_VIDEODRIVER", "x11", 0);
    }

    PlayerRecords player = {};
    char error[ERROR_TEXT_SIZE] = "";
    // Before SDL, which loads libdbus.
    start_media_controls(&player.media);
    bool running = start_player(&player, error, sizeof error);
    while (running && player.input.quit == 0) {
        running = run_frame(&player, error, sizeof error);
    }
    stop_media_controls(&player.media);
    stop_player(&player);
    if (!running) {
        std::fprintf(stderr, "klamor: %s\n", error);
        return 1;
    }
    return 0;
}
