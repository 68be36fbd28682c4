// The listing filter and the scan of the music folder into the list file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "browser/scan.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

const std::string LIST = "temp/temporaire.txt";

UiState open_click()
{
    UiState ui = {};
    ui.view = VIEW_BROWSER;
    ui.hover_button = HOVER_OPEN;
    ui.clicked = 1;
    return ui;
}

// The list file as the folder's own enumeration order says it must be.
std::string expected_list(const std::set<std::string>& listed)
{
    std::string out;
    DIR* folder = opendir("music");
    for (dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
        if (listed.count(entry->d_name) != 0) {
            out += std::string(entry->d_name) + "\n";
        }
    }
    closedir(folder);
    return out;
}

// Every path under the working directory, without following the skin links.
std::set<std::string> tree()
{
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(".")) {
        paths.insert(entry.path().string());
    }
    return paths;
}

class Scan : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = enter_scratch_dir(); }
    void TearDown() override { leave_scratch_dir(dir_); }
    std::string dir_;
};

} // namespace

TEST(ListedName, FollowsThePositionalFilter)
{
    struct Case {
        const char* name;
        bool listed;
    };
    const Case cases[] = {
        {"song.mp3", true},
        {"SONG.MP3", false},
        {"track.wav", false},
        {"notes.txt", false},
        {"cover.jpg", false},
        {"track.flac", true},
        {"Album", true},
        {"readme", true},
        {".", true},
        {"..", true},
        {"a.b", true},
        {"demo.mp3.txt", false},
        {"a.b.c", false},
        {".abc", false},
        {"x.tar.gz", true},
        {"take1.0.2", false},
        {"xmp3", true},
        {"mp3", true},
        {"song.Mp3", false},
        {".mp3", true},
        {"line\nbreak.mp3", false},
        {"trailing.mp3\n", false},
        {"\n", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_listed_name(c.name), c.listed) << '"' << c.name << '"';
    }
}

TEST_F(Scan, WritesListedNamesByteForByteInFolderOrder)
{
    const std::vector<std::string> files = {
        "song.mp3",     "notes.txt",   "with space.mp3", "100%.mp3",      "%n%s%x", "chanson \xc3\xa9t\xc3\xa9.mp3",
        "\xff\xfe.mp3", "bad\xc3.mp3", "cover.jpg",      "new\nline.mp3", "xmp3",
    };
    for (const std::string& name : files) {
        write_file("music/" + name, "");
    }
    fs::create_directory("music/Album");
    fs::create_directory("music/old.bak");

    UiState ui = open_click();
    scan_music_folder(&ui);

    std::string list = read_file(LIST);
    EXPECT_EQ(list, expected_list({".", "..", "song.mp3", "with space.mp3", "100%.mp3", "%n%s%x",
                                   "chanson \xc3\xa9t\xc3\xa9.mp3", "\xff\xfe.mp3", "bad\xc3.mp3", "xmp3", "Album"}));
    EXPECT_EQ(list.find("new"), std::string::npos);
}

TEST_F(Scan, RescanReplacesTheWholeFile)
{
    write_file(LIST, std::string(4096, 'x') + "\nstale.mp3\n");
    write_file("music/a.mp3", "");
    write_file("music/b.mp3", "");
    UiState ui = open_click();

    scan_music_folder(&ui);
    EXPECT_EQ(read_file(LIST), expected_list({".", "..", "a.mp3", "b.mp3"}));

    fs::remove("music/b.mp3");
    scan_music_folder(&ui);
    EXPECT_EQ(read_file(LIST), expected_list({".", "..", "a.mp3"}));
}

TEST_F(Scan, OnlyAClickOverTheOpenButtonInTheBrowserScans)
{
    write_file("music/a.mp3", "");
    struct Case {
        uint8_t view;
        uint8_t hover_button;
        uint8_t clicked;
    };
    const Case quiet[] = {
        {VIEW_PLAYER, HOVER_OPEN, 1},
        {VIEW_BROWSER, HOVER_PLAY, 1},
        {VIEW_BROWSER, HOVER_NONE, 1},
        {VIEW_BROWSER, HOVER_OPEN, 0},
    };
    for (const Case& c : quiet) {
        write_file(LIST, "untouched\n");
        UiState ui = {};
        ui.view = c.view;
        ui.hover_button = c.hover_button;
        ui.clicked = c.clicked;
        scan_music_folder(&ui);
        EXPECT_EQ(read_file(LIST), "untouched\n") << int(c.view) << ' ' << int(c.hover_button) << ' ' << int(c.clicked);
    }
}

TEST_F(Scan, MissingMusicFolderLeavesAnEmptyList)
{
    fs::remove("music");
    write_file(LIST, "stale.mp3\n");
    UiState ui = open_click();
    scan_music_folder(&ui);
    EXPECT_TRUE(fs::exists(LIST));
    EXPECT_EQ(read_file(LIST), "");
    EXPECT_FALSE(fs::exists("music"));
}

TEST_F(Scan, MissingTempFolderWritesAndCreatesNothing)
{
    fs::remove("temp");
    write_file("music/a.mp3", "");
    std::set<std::string> before = tree();
    UiState ui = open_click();
    scan_music_folder(&ui);
    EXPECT_EQ(tree(), before);
}

TEST_F(Scan, UnopenableListFileIsLeftAlone)
{
    // A folder where the list file should be cannot be opened for writing.
    fs::create_directory(LIST);
    write_file("music/a.mp3", "");
    std::set<std::string> before = tree();
    UiState ui = open_click();
    scan_music_folder(&ui);
    EXPECT_EQ(tree(), before);
    EXPECT_TRUE(fs::is_directory(LIST));
}

TEST_F(Scan, ListReplacesWhateverHoldsItsNameWithoutWritingThroughIt)
{
    write_file("music/a.mp3", "");
    const std::string outside = "outside.txt";
    for (Planted what : ALL_PLANTED) {
        SCOPED_TRACE(planted_name(what));
        write_file(outside, "not the player's\n");
        plant(LIST, what, outside);
        UiState ui = open_click();
        within_seconds(30, [&] { scan_music_folder(&ui); });
        EXPECT_EQ(read_plain_file(LIST), expected_list({".", "..", "a.mp3"}));
        EXPECT_EQ(read_file(outside), "not the player's\n");
        EXPECT_EQ(folder_names("temp"), std::vector<std::string>{"temporaire.txt"});
    }
}

TEST_F(Scan, ListCutShortByAFullDiskLeavesTheOldOne)
{
    for (int i = 0; i < 500; ++i) {
        write_file("music/song " + std::to_string(i) + ".mp3", "");
    }
    write_file(LIST, "old.mp3\n");
    // A file size limit fails the writes past it as a full disk would.
    rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto saved_signal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    UiState ui = open_click();
    scan_music_folder(&ui);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, saved_signal);

    EXPECT_EQ(read_file(LIST), "old.mp3\n");
    EXPECT_EQ(folder_names("temp"), std::vector<std::string>{"temporaire.txt"});
    scan_music_folder(&ui);
    std::string list = read_file(LIST);
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 502) << "a scan with room writes the whole list";
}
