// The whole player, used as a person uses it: views, hover, picking, what
// is heard, and the ways out.
#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/fixture.h"

namespace {

// What the list should hold for the shipped music: every entry in the
// folder's own enumeration order, but the licence note.
std::vector<std::string> listed_music()
{
    std::vector<std::string> names;
    DIR* dir = opendir("music");
    while (dirent* entry = readdir(dir)) {
        if (std::string(entry->d_name) != "LICENSE.txt") {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    return names;
}

TEST_F(WholePlayer, OpenAndBackSwitchViewsAndTheListFollowsTheFolder)
{
    link_shipped_music();
    Window window = launch();
    ASSERT_NE(window, 0u);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, PLAYER_VIEW_WIDTH, &look));
    EXPECT_EQ(look.height, WINDOW_HEIGHT);
    EXPECT_EQ(look.caption, PLAYER_CAPTION);

    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    EXPECT_EQ(look.height, WINDOW_HEIGHT);
    EXPECT_EQ(look.caption, BROWSER_CAPTION);
    EXPECT_EQ(list_lines(), listed_music());

    click_on(BACK_SPOT);
    ASSERT_TRUE(wait_for_width(x, player, PLAYER_VIEW_WIDTH, &look));
    EXPECT_EQ(look.caption, PLAYER_CAPTION);

    // Each visit to the browser reads the folder afresh.
    write_file("music/fresh.mp3", "");
    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    EXPECT_EQ(list_lines(), listed_music());

    quit_with_escape();
}

TEST_F(WholePlayer, CloseRequestEndsTheRunQuietly)
{
    Window window = launch();
    ASSERT_NE(window, 0u);
    click_on(OPEN_SPOT);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    send_close_request(x.display, player_window(x, player));
    ASSERT_TRUE(wait_exit(&player));
    EXPECT_EQ(player.status, 0);
    EXPECT_EQ(player_stdout(player), "");
    EXPECT_EQ(player_stderr(player), "");
}

TEST_F(WholePlayer, HoverLightsTheButtonUnderThePointer)
{
    struct Case {
        Spot pointer;
        const char* lit;
        ScreenPoint drawn_at;
    };
    const Case player_view[] = {
        {PLAY_SPOT, "play_en.bmp", PLAY_AT},
        {PAUSE_SPOT, "pause_en.bmp", PAUSE_AT},
        {STOP_SPOT, "stop_en.bmp", STOP_AT},
        {OPEN_SPOT, "open_en.bmp", OPEN_AT},
    };
    ASSERT_NE(launch(), 0u);
    move_to(REST_SPOT);
    for (const Case& c : player_view) {
        SCOPED_TRACE(c.lit);
        Image lit = load_skin_bitmap(c.lit);
        EXPECT_TRUE(wait_for_screen([&](const Image& s) { return !shows_bitmap(s, lit, c.drawn_at.x, c.drawn_at.y); }));
        move_to(c.pointer);
        EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, lit, c.drawn_at.x, c.drawn_at.y); }));
        move_to(REST_SPOT);
    }

    // The back button lights in the browser, and goes dark again.
    click_on(OPEN_SPOT);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_VIEW_WIDTH, &look));
    Image back = load_skin_bitmap("back.bmp");
    Image back_lit = load_skin_bitmap("back_en.bmp");
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, back, BACK_AT.x, BACK_AT.y); }));
    move_to(BACK_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, back_lit, BACK_AT.x, BACK_AT.y); }));
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, back, BACK_AT.x, BACK_AT.y); }));
    // The open button stays lit while the browser is shown.
    Image open_lit = load_skin_bitmap("open_en.bmp");
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, open_lit, OPEN_AT.x, OPEN_AT.y); }));

    quit_with_escape();
}

TEST_F(WholePlayer, ClicksOnTheListPickSongsThroughTheHitGrid)
{
    // Sixteen lines with "." and "..", but twenty drawn entries: the long
    // name is drawn in five pieces, so index 20 passes the guard and reaches
    // past the end of the list.
    for (int i = 1; i <= 13; ++i) {
        write_file("music/s" + std::to_string(100 + i) + ".mp3", "");
    }
    write_file("music/" + std::string(80, 'L') + ".mp3", "");
    ASSERT_NE(launch(), 0u);
    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 16; }));
    std::vector<std::string> lines = list_lines();

    struct Case {
        Spot click;
        int index;
        int line;
    };
    const Case cases[] = {
        {{350, 15}, 0, 1}, {{350, 25}, 1, 1}, {{350, 65}, 5, 5},  {{350, 75}, 5, 5},  {{420, 55}, 13, 13},
        {{420, 15}, 9, 9}, {{600, 50}, 0, 1}, {{350, 125}, 0, 1}, {{500, 35}, 20, 0}, // 20 is past the last line
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("click at " + std::to_string(c.click.x) + "," + std::to_string(c.click.y));
        std::filesystem::remove("temp/datest.txt");
        click_on(c.click);
        std::string name = c.line == 0 ? "" : lines[c.line - 1];
        if (name.size() < 3 || name.compare(name.size() - 3, 3, "mp3") != 0) {
            name = "";
        }
        std::string expected = "./music/" + name + "\n" + std::to_string(c.index);
        EXPECT_TRUE(wait_until([&] { return read_file("temp/datest.txt") == expected; }))
            << "choice file holds: " << read_file("temp/datest.txt");
    }
    quit_with_escape();
}

TEST_F(WholePlayer, PlayPausePlayStopIsHeardAndShown)
{
    const double TONE_HZ = 660;
    make_tone_mp3("music/tone.mp3", {TONE_HZ, 44100, 1, 30, "-b 64"});
    ASSERT_NE(launch("sound.raw"), 0u);
    choose_song("tone.mp3", 3);

    Image play_lit = load_skin_bitmap("play_en.bmp");
    Image pause_lit = load_skin_bitmap("pause_en.bmp");
    auto tone = [&] { return hears_tone(TONE_HZ); };
    auto silence = [&] { return hears_silence(); };

    // As a user who takes a moment: the start-up check's device has closed,
    // so play opens one afresh.
    ASSERT_TRUE(wait_until([&] { return !holds_open(player, player.audio_file); }));
    click_on(PLAY_SPOT);
    EXPECT_TRUE(wait_until(tone)) << "heard " << listen(player.audio_file, 0.2).hz << " Hz";
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y); }));

    click_on(PAUSE_SPOT);
    EXPECT_TRUE(wait_until(silence));
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) {
        return shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y) && shows_bitmap(s, pause_lit, PAUSE_AT.x, PAUSE_AT.y);
    }));

    click_on(PLAY_SPOT);
    EXPECT_TRUE(wait_until(tone));
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) {
        return shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y) && !shows_bitmap(s, pause_lit, PAUSE_AT.x, PAUSE_AT.y);
    }));

    click_on(STOP_SPOT);
    EXPECT_TRUE(wait_until(silence));
    move_to(REST_SPOT);
    EXPECT_TRUE(wait_for_screen([&](const Image& s) { return !shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y); }));

    quit_with_escape();
}

} // namespace
