// Drives the player's window from outside, as a person at its X server
// would, and reads it back: finds the window by the process id SDL stores on
// it, moves the pointer, clicks and types through XTest, asks the window to
// close as a window manager does, and reads its size, caption, class and
// pixels. The whole-program tests, the benchmarks and the package check all
// drive the player through it.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support.h"

// A point in window pixels.
struct Spot {
    int x;
    int y;
};

// The window as a person sees it. Written out here, not taken from the
// player's own layout, so that a wrong number there fails the tests that
// click and look with these.
constexpr int PLAYER_VIEW_WIDTH = 300;
constexpr int BROWSER_VIEW_WIDTH = 700;
// Where a person clicks: the middle of each button.
constexpr Spot PLAY_SPOT = {18, 115};
constexpr Spot PAUSE_SPOT = {46, 115};
constexpr Spot STOP_SPOT = {77, 115};
constexpr Spot OPEN_SPOT = {112, 115};
constexpr Spot BACK_SPOT = {670, 77};
// Over no button in either view.
constexpr Spot REST_SPOT = {200, 40};
// Where a click picks line N of the list, LINE_SPOTS[N - 1], for the first
// nine lines. They follow the hit grid, whose 10-pixel bands drift against
// the 12-pixel rows drawn: the band from y 70 picks line 5 again, and line 6
// is the band from y 80.
constexpr Spot LINE_SPOTS[] = {{350, 25}, {350, 35}, {350, 45},  {350, 55}, {350, 65},
                               {350, 85}, {350, 95}, {350, 105}, {350, 115}};

// A connection that may drive windows, to the display named ("" for
// $DISPLAY): nullptr when it cannot be opened or has no XTest. Reading a window that vanishes meanwhile (a view
// switch re-creates it) then fails that read instead of ending the program.
Display* open_display(const std::string& name);
void close_display(Display* display);

// The viewable window of process pid, at whatever depth a window manager
// put it, or 0 when none shows.
Window find_window(Display* display, long pid);
// Waits for it, with the width given unless that is 0; 0 when none shows.
Window wait_for_pid_window(Display* display, long pid, int width = 0, double seconds = PATIENCE_SECONDS);

struct WindowLook {
    int width = 0;
    int height = 0;
    std::string caption;
    std::string class_name; // what docks group windows by
};
bool look_at(Display* display, Window window, WindowLook* look);

// Pixels as 0xRRGGBB, row by row.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
// False when the window is not shown (gone, or not yet mapped).
bool screenshot(Display* display, Window window, Image* image);

void move_pointer(Display* display, Window window, Spot spot);
// Presses and releases a button where the pointer is, repeat times.
void click(Display* display, int button = 1, int repeat = 1);
// Moves there and clicks, then pauses as a person does before moving on.
void click_at(Display* display, Window window, Spot spot, int button = 1);
// Gives the window the keyboard focus for good, as a window manager would.
void focus_window(Display* display, Window window);
// Focuses the window and types the key (an X keysym name, "Escape"); false
// when the keyboard has no such key.
bool press_key(Display* display, Window window, const std::string& key);
// What a window manager sends when the user closes the window.
void send_close_request(Display* display, Window window);
