// The whole player against a music folder and working directory that try to
// break it: it must stay responsive and end cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/fixture.h"

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
    click_on(OPEN);
    // The name with a newline cannot be a line of the list.
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 11; }));
    std::vector<std::string> lines = list_lines();

    // Every band of the first column: pick, play, stop.
    for (int top = BAND_FIRST_TOP; top <= BAND_LAST_TOP; top += BAND_HEIGHT) {
        int index = top / LIST_ROW_HEIGHT;
        std::string name = lines[std::max(index, 1) - 1];
        SCOPED_TRACE("line " + std::to_string(std::max(index, 1)) + ": " + name);
        bool song = name.size() >= 3 && name.compare(name.size() - 3, 3, "mp3") == 0;
        std::string expected = "./music/" + (song ? name : "") + "\n" + std::to_string(index);
        fs::remove("temp/datest.txt");
        click_on({350, top + 5});
        EXPECT_TRUE(wait_until([&] { return read_file("temp/datest.txt") == expected; }))
            << "choice file holds: " << read_file("temp/datest.txt");
        click_on(PLAY);
        click_on(STOP);
    }
    expect_hover_still_redraws();
    quit_with_escape();
}

TEST_F(WholePlayer, WithoutATempFolderTheBrowserIsEmptyButAlive)
{
    make_tone_mp3("music/tone.mp3", E2E_TONE);
    fs::remove_all("temp");
    ASSERT_NE(launch(), 0u);
    click_on(OPEN);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_WIDTH, &look));
    click_on({350, 15});
    click_on(PLAY);
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
    move_to(OPEN);
    click(x, 1, 300);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, BROWSER_WIDTH, &look));
    expect_hover_still_redraws();
    quit_with_escape();
}

} // namespace
