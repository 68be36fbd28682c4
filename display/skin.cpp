// Bringing up SDL and SDL_ttf, loading the skin bitmaps, and the fixed
// positions they are drawn at.
#include "display/skin.h"

#include <SDL_ttf.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display/layout.h"

namespace {

// One file per slot from SLOT_SCREEN to SLOT_BROWSER_BG, paths relative to
// the working directory.
constexpr const char* SKIN_FILES[SKIN_FILE_COUNT] = {
    "./skins/used/icon.bmp",       "./skins/used/drumble_bg.bmp", "./skins/used/play.bmp",
    "./skins/used/pause.bmp",      "./skins/used/stop.bmp",       "./skins/used/open.bmp",
    "./skins/used/back.bmp",       "./skins/used/play_en.bmp",    "./skins/used/pause_en.bmp",
    "./skins/used/stop_en.bmp",    "./skins/used/open_en.bmp",    "./skins/used/back_en.bmp",
    "./skins/used/browser_bg.bmp",
};

constexpr Uint32 KEY_FLAGS = SDL_SRCCOLORKEY | SDL_RLEACCEL;
// The button images: from the plain play image to the lit back image.
constexpr int FIRST_KEYED_SLOT = SLOT_PLAY;
constexpr int LAST_KEYED_SLOT = SLOT_BACK_EN;

// Where each entry starts out, in LayoutEntry order.
constexpr ScreenPoint LAYOUT_POSITIONS[LAYOUT_ENTRY_COUNT] = {
    PLAYER_BG_AT, BROWSER_BG_AT, PLAY_AT, PAUSE_AT, STOP_AT, OPEN_AT, BACK_AT, LIST_HOME,
};

// What SDL falls back on when it finds no display: they show nothing, so
// the player would run unseen.
constexpr const char* INVISIBLE_DRIVERS[] = {"offscreen", "dummy"};
constexpr int DRIVER_NAME_SIZE = 32;

constexpr char DISPLAY_LOST_LINE[] = "klamor: lost the connection to the display\n";

// Xlib calls this when the connection to the X server breaks, and ends the
// process if it returns. Its own ending runs the exit handlers, and
// SDL_Quit then loops for ever on the dead connection: leave at once.
int on_display_lost(Display*)
{
    ssize_t written = write(STDERR_FILENO, DISPLAY_LOST_LINE, sizeof DISPLAY_LOST_LINE - 1);
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

void free_loaded(SkinSet* skin)
{
    for (int slot = 0; slot < SKIN_SLOT_COUNT; ++slot) {
        if (skin->slots[slot] != nullptr) {
            SDL_FreeSurface(skin->slots[slot]);
            skin->slots[slot] = nullptr;
        }
    }
}

bool load_bitmaps(SkinSet* skin, char* error, int error_size)
{
    for (int slot = 0; slot < SKIN_FILE_COUNT; ++slot) {
        SDL_RWops* file = SDL_RWFromFile(SKIN_FILES[slot], "rb");
        SDL_Surface* image = file != nullptr ? SDL_LoadBMP_RW(file, 1) : nullptr;
        if (image == nullptr) {
            std::snprintf(error, error_size, "cannot load %s: %s", SKIN_FILES[slot], SDL_GetError());
            free_loaded(skin);
            return false;
        }
        skin->slots[slot] = image;
    }
    return true;
}

} // namespace

bool load_skin(SkinSet* skin, Layout* layout, char* error, int error_size)
{
    *skin = SkinSet{};
    if (!display_named(error, error_size)) {
        return false;
    }
    if (SDL_Init(SDL_INIT_VIDEO) < 0 || SDL_Init(SDL_INIT_TIMER) < 0) {
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
    std::atexit(SDL_Quit);

    if (!load_bitmaps(skin, error, error_size)) {
        return false;
    }

    // One key value serves every button image, so they all share the play
    // image's pixel format.
    Uint32 key = SDL_MapRGB(skin->slots[SLOT_PLAY]->format, KEY_RED, KEY_GREEN, KEY_BLUE);
    for (int slot = FIRST_KEYED_SLOT; slot <= LAST_KEYED_SLOT; ++slot) {
        SDL_SetColorKey(skin->slots[slot], KEY_FLAGS, key);
    }

    SDL_WM_SetIcon(skin->slots[SLOT_SCREEN], nullptr);

    for (int entry = 0; entry < LAYOUT_ENTRY_COUNT; ++entry) {
        layout->positions[entry] = SDL_Rect{static_cast<Sint16>(LAYOUT_POSITIONS[entry].x),
                                            static_cast<Sint16>(LAYOUT_POSITIONS[entry].y), 0, 0};
    }
    return true;
}
