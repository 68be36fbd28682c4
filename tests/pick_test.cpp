// The hit grid, reading a picked line into the song and the choice file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "browser/pick.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

const std::string LIST = "temp/temporaire.txt";
const std::string CHOICE = "temp/datest.txt";
const std::string EARLIER_SONG = "./music/earlier.mp3";
const std::string EARLIER_CHOICE = "./music/earlier.mp3\n4";

std::string line_name(int line)
{
    return "line" + std::to_string(line) + ".mp3";
}

// 30 lines, more than the grid can reach, each naming its own line number.
std::string numbered_list()
{
    std::string out;
    for (int line = 1; line <= 30; ++line) {
        out += line_name(line) + "\n";
    }
    return out;
}

void set_song(SongPath* song, const std::string& text)
{
    std::memset(song->text, 0, sizeof song->text);
    std::memcpy(song->text, text.data(), text.size());
}

class Pick : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir_ = enter_scratch_dir();
        set_song(&song_, EARLIER_SONG);
        write_file(CHOICE, EARLIER_CHOICE);
    }
    void TearDown() override { leave_scratch_dir(dir_); }
    std::string dir_;
    SongPath song_;
};

} // namespace

TEST_F(Pick, HitGridPicksTheLineOfItsIndex)
{
    write_file(LIST, numbered_list());
    enum Outcome { UNTOUCHED, CLEARED, PICKED };
    struct Case {
        int x;
        int y;
        int16_t left_down;
        uint8_t view;
        int32_t song_count;
        Outcome outcome;
        int index; // for PICKED; line is max(index, 1)
    };
    // Where a person sees the grid, written out rather than taken from
    // display/layout.h so that a wrong number there fails here: 11 bands of
    // 10 pixels with tops at y 10 to 110, each giving its top divided by 12,
    // in columns x 332 to 414, 415 to 494 and 495 to 574 that add 0, 9 and
    // 18.
    const Case cases[] = {
        // Bands and columns.
        {350, 25, 1, VIEW_BROWSER, 27, PICKED, 1},
        {350, 15, 1, VIEW_BROWSER, 27, PICKED, 0},
        {350, 45, 1, VIEW_BROWSER, 27, PICKED, 3},
        {350, 65, 1, VIEW_BROWSER, 27, PICKED, 5},
        {350, 75, 1, VIEW_BROWSER, 27, PICKED, 5},
        {350, 115, 1, VIEW_BROWSER, 27, PICKED, 9},
        {350, 119, 1, VIEW_BROWSER, 27, PICKED, 9},
        {332, 29, 1, VIEW_BROWSER, 27, PICKED, 1},
        {414, 30, 1, VIEW_BROWSER, 27, PICKED, 2},
        {415, 15, 1, VIEW_BROWSER, 27, PICKED, 9},
        {420, 15, 1, VIEW_BROWSER, 27, PICKED, 9},
        {420, 55, 1, VIEW_BROWSER, 27, PICKED, 13},
        {494, 110, 1, VIEW_BROWSER, 27, PICKED, 18},
        {495, 20, 1, VIEW_BROWSER, 27, PICKED, 19},
        {574, 119, 1, VIEW_BROWSER, 27, PICKED, 27},
        // Outside the grid: index 0, line 1.
        {575, 50, 1, VIEW_BROWSER, 27, PICKED, 0},
        {600, 50, 1, VIEW_BROWSER, 27, PICKED, 0},
        {350, 9, 1, VIEW_BROWSER, 27, PICKED, 0},
        {350, 120, 1, VIEW_BROWSER, 27, PICKED, 0},
        {350, 125, 1, VIEW_BROWSER, 27, PICKED, 0},
        // Clicks that never pick.
        {331, 25, 1, VIEW_BROWSER, 27, UNTOUCHED, 0},
        {331, 50, 1, VIEW_BROWSER, 27, UNTOUCHED, 0},
        {100, 115, 1, VIEW_BROWSER, 27, UNTOUCHED, 0},
        {350, 25, 0, VIEW_BROWSER, 27, UNTOUCHED, 0}, // right button or wheel
        {670, 60, 1, VIEW_PLAYER, 27, UNTOUCHED, 0},  // back button: the view has switched already
        // The song_count guard.
        {420, 55, 1, VIEW_BROWSER, 13, PICKED, 13},
        {420, 55, 1, VIEW_BROWSER, 12, CLEARED, 0},
        {350, 15, 1, VIEW_BROWSER, 0, PICKED, 0},
        {350, 25, 1, VIEW_BROWSER, 0, CLEARED, 0},
        {574, 119, 1, VIEW_BROWSER, 100000, PICKED, 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "(" << c.x << ", " << c.y << ") left " << c.left_down << " view "
                                        << int(c.view) << " count " << c.song_count);
        set_song(&song_, EARLIER_SONG);
        write_file(CHOICE, EARLIER_CHOICE);
        InputState input = {};
        input.mouse_x = static_cast<int16_t>(c.x);
        input.mouse_y = static_cast<int16_t>(c.y);
        input.left_down = c.left_down;
        input.right_down = c.left_down == 1 ? 0 : 1;
        UiState ui = {};
        ui.clicked = 1;
        ui.view = c.view;
        ui.song_count = c.song_count;

        pick_song(&input, &ui, &song_);

        std::string expected_song = EARLIER_SONG;
        std::string expected_choice = EARLIER_CHOICE;
        if (c.outcome == CLEARED) {
            expected_song = "./music/";
        } else if (c.outcome == PICKED) {
            expected_song = "./music/" + line_name(c.index < 1 ? 1 : c.index);
            expected_choice = expected_song + "\n" + std::to_string(c.index);
        }
        EXPECT_STREQ(song_.text, expected_song.c_str());
        EXPECT_EQ(read_file(CHOICE), expected_choice);
    }
}

TEST_F(Pick, SelectRefusesLinesThatAreNotSongsInTheMusicFolder)
{
    const std::string longest = std::string(252, 'a') + "mp3";
    const std::string too_long = std::string(253, 'a') + "mp3";
    struct Case {
        const char* what;
        std::string list;
        int index;
        std::string song; // "" when refused
    };
    const Case cases[] = {
        {"ends early", "a.mp3\nb.mp3\n", 3, ""},
        {"empty list", "", 0, ""},
        {"last line without newline", "a.mp3\nb.mp3", 2, "b.mp3"},
        {"first line without newline", "b.mp3", 0, "b.mp3"},
        {"empty line", "a.mp3\n\nc.mp3\n", 2, ""},
        {"255 bytes", "a.mp3\n" + longest + "\nc.mp3\n", 2, longest},
        {"256 bytes", "a.mp3\n" + too_long + "\nc.mp3\n", 2, ""},
        {"after a 256-byte line", too_long + "\nc.mp3\n", 2, "c.mp3"},
        {"far too long", std::string(5000, 'z') + "mp3\n", 1, ""},
        {"a slash", "sub/x.mp3\n", 1, ""},
        {"leaves the folder", "../../etc/x.mp3\n", 1, ""},
        {"a NUL", std::string("x.mp3\0.txt\n", 11), 1, ""},
        {"not an mp3", "notes\n", 1, ""},
        {"upper case", "SONG.MP3\n", 1, ""},
        {"the dot entry", ".\n..\n", 2, ""},
        {"no dot", "xmp3\n", 1, "xmp3"},
        {"spaces and percent", "a %n %s b.mp3\n", 1, "a %n %s b.mp3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(LIST, c.list);
        set_song(&song_, EARLIER_SONG);
        select_song(c.index, &song_);
        std::string expected = "./music/" + c.song;
        EXPECT_STREQ(song_.text, expected.c_str());
        EXPECT_EQ(read_file(CHOICE), expected + "\n" + std::to_string(c.index));
    }
}

TEST_F(Pick, SelectWithoutUsableWorkingFilesClearsAndWritesNoChoice)
{
    // No list file.
    fs::remove(CHOICE);
    select_song(1, &song_);
    EXPECT_STREQ(song_.text, "./music/");
    EXPECT_FALSE(fs::exists(CHOICE));

    // A choice file that cannot be created.
    write_file(LIST, "a.mp3\n");
    fs::create_directory(CHOICE);
    set_song(&song_, EARLIER_SONG);
    select_song(1, &song_);
    EXPECT_STREQ(song_.text, "./music/");
    EXPECT_TRUE(fs::is_directory(CHOICE));
    fs::remove(CHOICE);

    // No temp folder at all: nothing may appear anywhere.
    fs::remove_all("temp");
    std::set<std::string> before;
    for (const auto& entry : fs::recursive_directory_iterator(".")) {
        before.insert(entry.path().string());
    }
    set_song(&song_, EARLIER_SONG);
    select_song(1, &song_);
    EXPECT_STREQ(song_.text, "./music/");
    std::set<std::string> after;
    for (const auto& entry : fs::recursive_directory_iterator(".")) {
        after.insert(entry.path().string());
    }
    EXPECT_EQ(after, before);
}

TEST_F(Pick, WorkingFilesAreNeverReadOrWrittenThroughAnotherEntry)
{
    const std::string outside = "outside.txt";
    for (Planted what : ALL_PLANTED) {
        SCOPED_TRACE(planted_name(what));
        // The choice file: replaced by a plain file, its target untouched.
        write_file(outside, "x.mp3\n");
        fs::remove(LIST);
        write_file(LIST, "a.mp3\n");
        plant(CHOICE, what, outside);
        set_song(&song_, EARLIER_SONG);
        within_seconds(30, [&] { select_song(1, &song_); });
        EXPECT_STREQ(song_.text, "./music/a.mp3");
        EXPECT_EQ(read_plain_file(CHOICE), "./music/a.mp3\n1");
        EXPECT_EQ(read_file(outside), "x.mp3\n");

        // The list: anything but a plain file reads as no list, and nothing
        // is written. (A hard link is a plain file, and is read.)
        if (what == Planted::HARD_LINK_TO_OUTSIDE) {
            continue;
        }
        fs::remove(CHOICE);
        write_file(CHOICE, EARLIER_CHOICE);
        plant(LIST, what, outside);
        set_song(&song_, EARLIER_SONG);
        within_seconds(30, [&] { select_song(1, &song_); });
        EXPECT_STREQ(song_.text, "./music/");
        EXPECT_EQ(read_plain_file(CHOICE), EARLIER_CHOICE);
        EXPECT_EQ(read_file(outside), "x.mp3\n");
        EXPECT_EQ(folder_names("temp"), (std::vector<std::string>{"datest.txt", "temporaire.txt"}));
    }
}

TEST_F(Pick, AHugeListIsReadNoFurtherThanTheGridReaches)
{
    // A stale list of 64 GB (sparse: zeros after the first line) that no
    // pick may read through.
    write_file(LIST, "a.mp3\n");
    fs::resize_file(LIST, 64ULL << 30);
    struct Case {
        int index;
        const char* song;
    };
    const Case cases[] = {{1, "./music/a.mp3"}, {2, "./music/"}, {27, "./music/"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        within_seconds(60, [&] { select_song(c.index, &song_); });
        EXPECT_STREQ(song_.text, c.song);
    }
}
