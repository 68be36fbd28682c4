// A fresh X server and working directory for each whole-program test, and
// the moves a user makes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display/layout.h"
#include "tests/e2e/harness.h"
#include "tests/support.h"
#include "tests/tone.h"

// A short song for the runs that need one.
const ToneRecipe E2E_TONE = {440, 44100, 1, 3, "-b 64"};

class WholePlayer : public ::testing::Test {
  protected:
    XServer x;
    Player player;
    std::string dir;
    // Where the player's working files land.
    std::string temp_dir = "temp";

    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(start_xserver(&x, &why)) << why;
        dir = enter_scratch_dir();
    }

    void TearDown() override
    {
        kill_player(&player);
        stop_xserver(&x);
        if (!dir.empty()) {
            leave_scratch_dir(dir);
        }
    }

    // Starts the player and waits until it answers the pointer. With an
    // audio file named, what it plays is recorded there.
    Window launch(const std::string& audio_file = "")
    {
        start_player(&player, x, dir, audio_file.empty() ? "" : dir + "/" + audio_file);
        Window window = wait_for_window(x, player);
        if (window == 0) {
            return 0;
        }
        // Without a window manager the focus follows the pointer, and keys
        // go only to the focused window: focus it once for good, and let the
        // player show it is taking events.
        focus_window(x.display, window);
        expect_hover_still_redraws();
        // A run meant for another SDL counts only on that SDL: a library
        // folder that is wrong or empty would leave the system's in its place.
        if (const char* library_path = std::getenv("KLAMOR_PLAYER_LIBRARY_PATH")) {
            EXPECT_TRUE(maps_file_from(player, library_path, "libSDL-1.2.so"))
                << "the player runs on no SDL 1.2 from " << library_path;
        }
        return window;
    }

    // The shipped songs and their licence note, as a user's folder.
    void link_shipped_music()
    {
        for (const auto& entry : std::filesystem::directory_iterator(std::string(KLAMOR_SOURCE_DIR) + "/music")) {
            std::filesystem::create_symlink(entry.path(), "music" / entry.path().filename());
        }
    }

    void move_to(Spot spot) { move_pointer(x.display, player_window(x, player), spot); }

    void click_on(Spot spot, int button = 1) { click_at(x.display, player_window(x, player), spot, button); }

    bool wait_for_screen(const std::function<bool(const Image&)>& condition)
    {
        return wait_until([&] {
            Image shot;
            return screenshot(x.display, player_window(x, player), &shot) && condition(shot);
        });
    }

    std::vector<std::string> list_lines()
    {
        std::vector<std::string> lines;
        std::istringstream in(read_file(temp_dir + "/temporaire.txt"));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // Clicks the list where it picks the line of this name (one of the
    // first nine), and waits for the choice file to record it.
    void pick_line_of(const std::string& name)
    {
        std::vector<std::string> lines = list_lines();
        int line = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == name) {
                line = static_cast<int>(i) + 1;
            }
        }
        ASSERT_TRUE(line >= 1 && line <= static_cast<int>(std::size(LINE_SPOTS)))
            << name << " is not in the first column";
        click_on(LINE_SPOTS[line - 1]);
        std::string expected = "./music/" + name + "\n" + std::to_string(line);
        ASSERT_TRUE(wait_until([&] { return read_file(temp_dir + "/datest.txt") == expected; }));
    }

    // Opens the browser, waits for the list to hold lines lines, picks the
    // song and goes back to the small player.
    void choose_song(const std::string& name, size_t lines)
    {
        click_on(OPEN_SPOT);
        ASSERT_TRUE(wait_until([&] { return list_lines().size() == lines; }));
        pick_line_of(name);
        click_on(BACK_SPOT);
        WindowLook look;
        ASSERT_TRUE(wait_for_width(x, player, PLAYER_VIEW_WIDTH, &look));
    }

    // What the disk output wrote last: the tone at this pitch, or silence.
    bool hears_tone(double hz)
    {
        Heard heard = listen(player.audio_file, 0.2);
        return heard.rms > 0.05 && std::abs(heard.hz - hz) < hz * 0.02;
    }
    bool hears_silence()
    {
        Heard heard = listen(player.audio_file, 0.2);
        return heard.enough && heard.rms < 0.001;
    }

    // The player still answers: the stop button lights under the pointer
    // and goes dark when it leaves (nothing else lights it).
    void expect_hover_still_redraws()
    {
        Image stop_lit = load_skin_bitmap("stop_en.bmp");
        move_to(REST_SPOT);
        EXPECT_TRUE(wait_for_screen([&](const Image& s) { return !shows_bitmap(s, stop_lit, STOP_AT.x, STOP_AT.y); }));
        move_to(STOP_SPOT);
        EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, stop_lit, STOP_AT.x, STOP_AT.y); }));
        move_to(REST_SPOT);
    }

    // Escape ends the run with status 0, and the run wrote nothing. SDL's
    // disk audio driver announces itself on standard error; that is not the
    // player's.
    void quit_with_escape()
    {
        press_key(x.display, player_window(x, player), "Escape");
        ASSERT_TRUE(wait_exit(&player)) << "the player did not end on Escape";
        EXPECT_EQ(player.status, 0);
        EXPECT_EQ(player_stdout(player), "");
        std::istringstream err(player_stderr(player));
        std::string own;
        for (std::string line; std::getline(err, line);) {
            // sdl12-compat's words, then classic SDL 1.2's.
            bool from_sdl = !player.audio_file.empty() &&
                            (line.find("You are using the SDL disk i/o audio driver") != std::string::npos ||
                             line.find("Writing to file [" + player.audio_file + "]") != std::string::npos ||
                             line.find("You are using the SDL disk writer audio driver") != std::string::npos);
            if (!from_sdl) {
                own += line + "\n";
            }
        }
        EXPECT_EQ(own, "");
    }
};
