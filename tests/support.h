// What the tests and the benchmarks share: scratch working directories laid
// out like the player's own, file utilities, waiting, and SDL pixels and
// events.
#pragma once

#include <SDL.h>

#include <functional>
#include <string>

// Creates a directory under the system's temporary folder, its name starting
// with label, with the skin and font linked in and empty music/ and temp/
// folders. Returns its path; throws when it cannot be made.
std::string make_scratch_dir(const std::string& label);
// A scratch directory of the tests', made the working directory.
std::string enter_scratch_dir();
// Returns to the directory the program started in and removes the scratch one.
void leave_scratch_dir(const std::string& path);

// Generous, since two cores may be shared with the rest of the suite; the
// callers poll, so a fast machine never waits this long.
constexpr double PATIENCE_SECONDS = 30.0;
// Polls until the condition holds or the time runs out; returns the last
// result.
bool wait_until(const std::function<bool()>& condition, double seconds = PATIENCE_SECONDS);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// The raw value of one pixel, in the surface's own format.
Uint32 pixel_at(SDL_Surface* image, int x, int y);
// A press of a mouse button, and of a key, as SDL would queue them.
SDL_Event button_press(uint8_t button);
SDL_Event key_press(SDLKey key);
