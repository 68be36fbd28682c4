// The whole player against a music folder and working directory that try to
// break it: it must stay responsive and end cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/fixture.h"

// After the tests' own headers, which bring Xlib in after GoogleTest.
#include <X11/extensions/XTest.h>

namespace fs = std::filesystem;

namespace {

TEST_F(WholePlayer, HostileMusicFolderNeverStopsThePlayer)
{
    make_tone_mp3("tone.mp3", E2E_TONE);
    std::string tone = read_file("tone.mp3");
    fs::remove("tone.mp3");

    write_file("music/" + std::string(251, 'n') + ".mp3", tone); // the longest name a file system allows
    write_file("music/new\nline.mp3", tone);
    write_file("music/bad\xff\xfe.mp3", tone);
    write_file("music/%n%s%x.mp3", tone);
    fs::create_directory("music/x.mp3");
    ASSERT_EQ(mkfifo("music/y.mp3", 0644), 0);
    write_file("music/zero.mp3", "");
    std::string noise(200000, '\0');
    std::mt19937 random(7);
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    write_file("music/noise.mp3", noise);
    write_file("music/cut.mp3", tone.substr(0, tone.size() / 3 + 77)); // ends inside a frame
    // An ID3v2 tag of 3 MB (its size in four 7-bit bytes) before the audio.
    const int TAG_SIZE = 3 * 1024 * 1024;
    std::string tag = "ID3\x04";
    tag += std::string("\0\0", 2);
    for (int shift = 21; shift >= 0; shift -= 7) {
        tag += static_cast<char>(TAG_SIZE >> shift & 0x7f);
    }
    tag += std::string(TAG_SIZE, '\0');
    write_file("music/tagged.mp3", tag + tone);

    ASSERT_NE(launch(), 0u);
    click_on(OPEN_SPOT);
    // The name with a newline cannot be a line of the list.
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 11; }));
    std::vector<std::string> lines = list_lines();

    // Every band of the first column (10 pixels high, from y 10 to 119, the
    // index their top divided by 12): pick, play, stop.
    for (int top = 10; top <= 110; top += 10) {
        int index = top / 12;
        std::string name = lines[std::max(index, 1) - 1];
        SCOPED_TRACE("line " + std::to_string(std::max(index, 1)) + ": " + name);
        bool song = name.size() >= 3 && name.compare(name.size() - 3, 3, "mp3") == 0;
        std::string expected = "./music/" + (song ? name : "") + "\n" + std::to_string(index);
        fs::remove("temp/datest.txt");
        click_on({350, top + 5});
        EXPECT_TRUE(wait_until([&] { return read_file("temp/datest.txt") == expected; }))
            << "choice file holds: " << read_file("temp/datest.txt");
        click_on(PLAY_SPOT);
        click_on(STOP_SPOT);
    }
    expect_hover_still_redraws();
    quit_with_escape();
}

TEST_F(WholePlayer, WithoutATempFolderTheBrowserIsEmptyButAlive)
{
    make_tone_mp3("music/tone.mp3", E2E_TONE);
    fs::remove_all("temp");
    ASSERT_NE(launch(), 0u);
    click_on(OPEN_SPOT);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    click_on({350, 15});
    click_on(PLAY_SPOT);
    expect_hover_still_redraws();
    quit_with_escape();
    EXPECT_FALSE(fs::exists("temp")) << "the player made a folder";
}

TEST_F(WholePlayer, MissingBitmapIsNamedAndEndsWithStatusOne)
{
    // A skin folder of its own, one bitmap short.
    fs::path skin = fs::path(KLAMOR_SOURCE_DIR) / "skins" / "used";
    fs::remove("skins/used");
    fs::create_directory("skins/used");
    for (const auto& entry : fs::directory_iterator(skin)) {
        if (entry.path().filename() != "pause_en.bmp") {
            fs::create_symlink(entry.path(), "skins/used" / entry.path().filename());
        }
    }
    start_player(&player, x, dir);
    ASSERT_TRUE(wait_exit(&player));
    EXPECT_EQ(player.status, 1);
    EXPECT_NE(player_stderr(player).find("pause_en.bmp"), std::string::npos) << player_stderr(player);
    EXPECT_EQ(player_stdout(player), "");
}

TEST_F(WholePlayer, AFloodOfClicksIsWorkedThroughAndTheRunEndsCleanly)
{
    link_shipped_music();
    ASSERT_NE(launch(), 0u);
    move_to(OPEN_SPOT);
    click(x.display, 1, 300);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    expect_hover_still_redraws();
    quit_with_escape();
}

TEST_F(WholePlayer, HostileTempFolderNeitherHoldsNorClobbers)
{
    make_tone_mp3("music/tone.mp3", E2E_TONE);
    const std::string outside = "outside.txt";
    const std::string kept = "the user's own file\n";
    write_file(outside, kept);
    const std::string list = "temp/temporaire.txt";
    const std::string choice = "temp/datest.txt";
    ASSERT_NE(launch(), 0u);

    // What stands where the working files go at each open click and pick.
    struct Round {
        Planted list;
        Planted choice;
    };
    const Round rounds[] = {
        {Planted::FIFO, Planted::LINK_TO_OUTSIDE},
        {Planted::LINK_TO_DEV_ZERO, Planted::FIFO},
        {Planted::LINK_TO_OUTSIDE, Planted::LINK_TO_DEV_ZERO},
        {Planted::HARD_LINK_TO_OUTSIDE, Planted::HARD_LINK_TO_OUTSIDE},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(std::string("list: ") + planted_name(round.list) + ", choice: " + planted_name(round.choice));
        plant(list, round.list, outside);
        plant(choice, round.choice, outside);
        click_on(OPEN_SPOT);
        // Read only once plain files: a test that opened a FIFO would wait
        // for good itself.
        ASSERT_TRUE(wait_until([&] { return read_plain_file(list).find("tone.mp3\n") != std::string::npos; }));
        std::vector<std::string> lines = list_lines();
        int line = static_cast<int>(std::find(lines.begin(), lines.end(), "tone.mp3") - lines.begin()) + 1;
        ASSERT_LE(line, 3);
        click_on(LINE_SPOTS[line - 1]);
        std::string expected = "./music/tone.mp3\n" + std::to_string(line);
        EXPECT_TRUE(wait_until([&] { return read_plain_file(choice) == expected; })) << read_plain_file(choice);
        expect_hover_still_redraws();
        EXPECT_EQ(read_file(outside), kept);
    }

    // A stale list of 200 MB (sparse) is replaced as quickly as a small one.
    fs::remove(list);
    write_file(list, "stale.mp3\n");
    fs::resize_file(list, 200 << 20);
    click_on(OPEN_SPOT);
    EXPECT_TRUE(wait_until([&] { return fs::file_size(list) < 1000; }));
    expect_hover_still_redraws();
    EXPECT_EQ(folder_names("temp"), (std::vector<std::string>{"datest.txt", "temporaire.txt"}));
    quit_with_escape();
}

// Xlib tells of a lost display in two ways: an I/O error once the
// connection breaks, or a protocol error for a request on a window that went
// first (a dying XWayland answers BadWindow). Either is one line and status 1.
TEST_F(WholePlayer, XServerGoingAwayEndsThePlayerWithStatusOne)
{
    for (bool server_killed : {false, true}) {
        SCOPED_TRACE(server_killed ? "the server killed" : "the window destroyed under the player");
        Window window = launch();
        ASSERT_NE(window, 0u);
        if (server_killed) {
            // Our own connection is closed first: on a dead server closing
            // it would end the test program.
            close_display(x.display);
            x.display = nullptr;
            kill(x.pid, SIGKILL);
            waitpid(x.pid, nullptr, 0);
            x.pid = -1;
        } else {
            XDestroyWindow(x.display, window);
            // Something for the player to draw, on the window it still thinks
            // it has.
            XTestFakeMotionEvent(x.display, DefaultScreen(x.display), REST_SPOT.x, REST_SPOT.y, CurrentTime);
            XSync(x.display, False);
        }
        ASSERT_TRUE(wait_exit(&player)) << "the player did not end when its display went away";
        EXPECT_EQ(player.status, 1);
        std::string err = player_stderr(player);
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("klamor: lost ", 0), 0u) << err;
    }
}

TEST_F(WholePlayer, NoDisplayIsOneLineAndStatusOneUnlessTheUserNamesADriver)
{
    // The harness's settings and the test's own environment, without any
    // display or video driver.
    std::vector<std::string> no_display;
    auto names_a_display = [](const std::string& setting) {
        for (const char* name : {"DISPLAY=", "WAYLAND_DISPLAY=", "SDL_VIDEODRIVER="}) {
            if (setting.rfind(name, 0) == 0) {
                return true;
            }
        }
        return false;
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!names_a_display(*entry)) {
            no_display.push_back(*entry);
        }
    }
    for (const std::string& setting : player_settings(x)) {
        if (!names_a_display(setting)) {
            no_display.push_back(setting);
        }
    }
    start_program(&player, dir, dir, {KLAMOR_PLAYER_PATH}, no_display);
    ASSERT_TRUE(wait_exit(&player)) << "the player ran on without a display";
    EXPECT_EQ(player.status, 1);
    std::string err = player_stderr(player);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("klamor: cannot open a display"), std::string::npos) << err;

    // A driver the user names is used, window or not: the player runs until
    // told to stop. SDL turns SIGTERM into a quit request once it is up.
    no_display.push_back("SDL_VIDEODRIVER=dummy");
    start_program(&player, dir, dir, {KLAMOR_PLAYER_PATH}, no_display);
    std::string status_path = "/proc/" + std::to_string(player.pid) + "/status";
    auto catches_term = [&] {
        std::istringstream in(read_file(status_path));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigCgt:", 0) == 0) {
                return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1) & 1) != 0;
            }
        }
        return false;
    };
    ASSERT_TRUE(wait_until(catches_term)) << player_stderr(player);
    kill(player.pid, SIGTERM);
    ASSERT_TRUE(wait_exit(&player));
    EXPECT_EQ(player.status, 0) << player_stderr(player);
}

} // namespace
