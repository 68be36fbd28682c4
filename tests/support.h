// Shared helpers for the tests: a scratch working directory laid out like
// the player's own, and small file utilities.
#pragma once

#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

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

// Runs work and returns its result; aborts the whole run rather than let a
// call that blocks for good hang the suite. Only for catching hangs: the
// limit is generous.
template <typename F> auto within_seconds(double seconds, F work)
{
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::timeout) {
        ADD_FAILURE() << "blocked for more than " << seconds << " s";
        std::fflush(stdout);
        std::_Exit(1);
    }
    return done.get();
}

// What may stand where the player keeps a working file, put there by
// accident or on purpose.
enum class Planted { LINK_TO_OUTSIDE, HARD_LINK_TO_OUTSIDE, LINK_TO_DEV_ZERO, FIFO };
constexpr Planted ALL_PLANTED[] = {Planted::LINK_TO_OUTSIDE, Planted::HARD_LINK_TO_OUTSIDE,
                                   Planted::LINK_TO_DEV_ZERO, Planted::FIFO};
const char* planted_name(Planted what);
// Replaces whatever is at path; outside is an existing file that a link
// points at.
void plant(const std::string& path, Planted what, const std::string& outside);
// The content of path when it is a plain file; otherwise (a link to a device
// or a FIFO, which would never end or never answer) a note saying so.
std::string read_plain_file(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string& path);
