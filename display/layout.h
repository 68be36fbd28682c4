// The window's fixed geometry, in window pixels: the window sizes, where each
// image lands, where the pointer hovers, and the list's rows and hit grid.
#pragma once

#include <cstdint>
#include <iterator>

struct ScreenPoint {
    int x;
    int y;
};

// Both ends are inside.
struct ScreenSpan {
    int low;
    int high;
};

constexpr int PLAYER_WIDTH = 300;
constexpr int BROWSER_WIDTH = 700;
constexpr int WINDOW_HEIGHT = 150;
constexpr int WINDOW_DEPTH = 16;
constexpr char PLAYER_CAPTION[] = " Klamor: The Drumble Maker BOX";
constexpr char BROWSER_CAPTION[] = "=> Klamor: Choose your song";

// Pixels of this colour are see-through in the ten button images.
constexpr uint8_t KEY_RED = 202;
constexpr uint8_t KEY_GREEN = 2;
constexpr uint8_t KEY_BLUE = 176;

// Where each image lands. The positions are not the hover regions: stop sits
// 5 pixels higher than the row, open 4 pixels right of where its hover range
// starts, and the browser background leaves column 300 to whatever the
// window holds there.
constexpr ScreenPoint PLAYER_BG_AT = {0, 0};
constexpr ScreenPoint BROWSER_BG_AT = {PLAYER_WIDTH + 1, 0};
constexpr ScreenPoint PLAY_AT = {12, 100};
constexpr ScreenPoint PAUSE_AT = {39, 100};
constexpr ScreenPoint STOP_AT = {62, 95};
constexpr ScreenPoint OPEN_AT = {102, 98};
constexpr ScreenPoint BACK_AT = {662, 61};

// The transport row's band and the buttons' ranges in it. The hit regions
// are fixed and independent of where the lit images are drawn.
constexpr ScreenSpan ROW_BAND = {100, 130};
constexpr ScreenSpan PLAY_HOVER = {12, 25};
constexpr ScreenSpan PAUSE_HOVER = {39, 53};
constexpr ScreenSpan STOP_HOVER = {62, 92};
constexpr ScreenSpan OPEN_HOVER = {98, 126};
constexpr ScreenSpan BACK_HOVER_X = {660, 680};
constexpr ScreenSpan BACK_HOVER_Y = {45, 110};

// The list is drawn in columns of nine rows from its home, the first row's
// top left corner.
constexpr ScreenPoint LIST_HOME = {332, 15};
constexpr int LIST_ROWS = 9;
constexpr int LIST_ROW_HEIGHT = 12;
constexpr int LIST_COLUMN_WIDTH = 80;

// The hit grid has 11 bands of 10 pixels with tops at 10, 20, ..., 110. Its
// index is the band top divided by the drawn row pitch, so the grid drifts
// against the drawn rows; picking follows the grid all the same.
constexpr int BAND_FIRST_TOP = 10;
constexpr int BAND_LAST_TOP = 110;
constexpr int BAND_HEIGHT = 10;

// Three pickable columns of nine entries each; the first is 83 pixels wide.
// Clicks left of the first never pick.
constexpr ScreenSpan GRID_COLUMNS[] = {
    {LIST_HOME.x, 414},
    {415, 494},
    {495, 574},
};
// The highest list index the grid gives: its last column's last band. List
// drawing counts entries no further than it must to tell each of these.
constexpr int LIST_INDEX_MAX =
    BAND_LAST_TOP / LIST_ROW_HEIGHT + (static_cast<int>(std::size(GRID_COLUMNS)) - 1) * LIST_ROWS;
