// What the tests and the benchmarks share: scratch working directories laid
// out like the player's own, file utilities, waiting, and SDL pixels and
// events.
#pragma once

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

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

// Runs work and returns its result; aborts the whole run rather than let a
// call that blocks for good hang the suite. Only for catching hangs: the
// limit is generous.
template <typename F> auto within_seconds(double seconds, F work)
{
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::timeout) {
        std::fprintf(stderr, "blocked for more than %g s\n", seconds);
        std::fflush(stdout);
        std::_Exit(1);
    }
    return done.get();
}

// What may stand where the player keeps a working file, put there by
// accident or on purpose.
enum class Planted { LINK_TO_OUTSIDE, HARD_LINK_TO_OUTSIDE, LINK_TO_DEV_ZERO, FIFO };
constexpr Planted ALL_PLANTED[] = {Planted::LINK_TO_OUTSIDE, Planted::HARD_LINK_TO_OUTSIDE, Planted::LINK_TO_DEV_ZERO,
                                   Planted::FIFO};
const char* planted_name(Planted what);
// Replaces whatever is at path; outside is an existing file that a link
// points at.
void plant(const std::string& path, Planted what, const std::string& outside);
// The content of path when it is a plain file; otherwise (a link to a device
// or a FIFO, which would never end or never answer) a note saying so.
std::string read_plain_file(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string& path);
