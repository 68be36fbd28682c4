// Loading the skin bitmaps, and the fixed positions they are drawn at.
#include "display/skin.h"

#include <cstdio>

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

bool load_bitmaps(SkinSet* skin, char* error, int error_size)
{
    for (int slot = 0; slot < SKIN_FILE_COUNT; ++slot) {
        SDL_RWops* file = SDL_RWFromFile(SKIN_FILES[slot], "rb");
        SDL_Surface* image = file != nullptr ? SDL_LoadBMP_RW(file, 1) : nullptr;
        if (image == nullptr) {
            std::snprintf(error, error_size, "cannot load %s: %s", SKIN_FILES[slot], SDL_GetError());
            free_skin(skin);
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

void free_skin(SkinSet* skin)
{
    for (SDL_Surface*& image : skin->slots) {
        // The screen belongs to SDL.
        if (image != nullptr && image != SDL_GetVideoSurface()) {
            SDL_FreeSurface(image);
        }
        image = nullptr;
    }
}
