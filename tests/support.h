// Shared helpers for the tests: a scratch working directory laid out like
// the player's own, and small file utilities.
#pragma once

#include <SDL.h>

#include <string>

// Creates an empty directory under the system's temporary folder with the
// skin and font linked in and empty music/ and temp/ folders, and makes it
// the working directory. Returns its path.
std::string enter_scratch_dir();
// Returns to the directory the test started in and removes the scratch one.
void leave_scratch_dir(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// The raw value of one pixel, in the surface's own format.
Uint32 pixel_at(SDL_Surface* image, int x, int y);
// A press of a mouse button, and of a key, as SDL would queue them.
SDL_Event button_press(uint8_t button);
SDL_Event key_press(SDLKey key);
