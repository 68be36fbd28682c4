// The skin bitmaps and the screen positions they are drawn at.
#pragma once

#include <SDL.h>

// Slots of SkinSet::slots, in the order the bitmaps are loaded.
enum SkinSlot {
    SLOT_SCREEN = 0, // the icon until the first window exists, then the screen
    SLOT_DRUMBLE_BG,
    SLOT_PLAY, // the four plain transport images are never drawn
    SLOT_PAUSE,
    SLOT_STOP,
    SLOT_OPEN,
    SLOT_BACK,
    SLOT_PLAY_EN,
    SLOT_PAUSE_EN,
    SLOT_STOP_EN,
    SLOT_OPEN_EN,
    SLOT_BACK_EN,
    SLOT_BROWSER_BG,
    SLOT_TEXT, // one rendered list entry while it is drawn
    SKIN_SLOT_COUNT
};

// The 13 bitmaps that are loaded, one per slot from SLOT_SCREEN to SLOT_BROWSER_BG.
constexpr int SKIN_FILE_COUNT = 13;

struct SkinSet {
    SDL_Surface* slots[SKIN_SLOT_COUNT];
};

// Entries of Layout::positions. Only x and y are set.
enum LayoutEntry {
    BG_POS = 0,
    BROWSER_POS,
    PLAY_POS,
    PAUSE_POS,
    STOP_POS,
    OPEN_POS,
    BACK_POS,
    LIST_POS, // the list cursor: where the next list entry is drawn
    LAYOUT_ENTRY_COUNT
};

struct Layout {
    SDL_Rect positions[LAYOUT_ENTRY_COUNT];
};

// Loads the bitmaps, keys the button images, sets the window icon and fills
// the layout; SDL's video must be up. On failure writes one line naming what
// failed into error and returns false, with nothing loaded.
bool load_skin(SkinSet* skin, Layout* layout, char* error, int error_size);
// Frees the bitmaps; the screen stays SDL's. Before SDL shuts down.
void free_skin(SkinSet* skin);
