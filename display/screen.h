// The display's life: SDL's video and SDL_ttf brought up and shut down as
// one pair, the window made for a view, and presenting what was drawn.
#pragma once

#include "display/skin.h"

// Brings up SDL's video on a driver that shows a window, and SDL_ttf. On
// failure writes one line naming what failed into error and returns false;
// stop_display then still shuts down whatever came up.
bool start_display(char* error, int error_size);
// Shuts SDL_ttf and SDL down; the window goes with them.
void stop_display();
// Ends the process at once, with one line on stderr and status 1, when the
// connection to the display broke: nothing can be shut down in order over
// it (SDL_Quit would loop for ever on a dead X connection).
[[noreturn]] void leave_for_lost_display();

// Puts a new window of the given width, with the caption given, into the
// screen slot, cleared to black. Until the first window exists the slot
// holds the icon image, which is no longer needed then. False, with the
// reason in error, when SDL will not make it.
bool open_window(SkinSet* skin, int width, const char* caption, char* error, int error_size);
// Presents the screen slot, if there is a window.
void flip_screen(SkinSet* skin);
