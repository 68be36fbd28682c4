// The transport's table, run against the engine on SDL's dummy audio device.
#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "playback/transport.h"
#include "tests/support.h"
#include "tests/tone.h"

namespace {

void choose(SongPath* song, const std::string& name)
{
    *song = SongPath{};
    std::snprintf(song->text, sizeof song->text, "%s%s", MUSIC_PREFIX, name.c_str());
}

bool file_is_open(const std::string& name)
{
    std::vector<std::string> paths = open_file_paths();
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& p) {
        return p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0;
    });
}

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Never the machine's real sound card, whatever the shell says.
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        scratch = enter_scratch_dir();
        make_tone_mp3("music/long.mp3", {440, 44100, 2, 3.0, ""});
        make_tone_mp3("music/other.mp3", {660, 22050, 1, 3.0, ""});
        make_tone_mp3("music/short.mp3", {440, 44100, 2, 0.2, ""});
        ui.view = VIEW_PLAYER;
        song = SongPath{};
        std::memcpy(song.text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH);
        ASSERT_TRUE(audio_system_create(audio.get()));
    }

    void start()
    {
        char error[ERROR_TEXT_SIZE] = "";
        ASSERT_TRUE(audio_system_init(audio.get(), error, sizeof error)) << error;
    }

    void TearDown() override
    {
        // The player's own order: SDL first, then the engine.
        SDL_Quit();
        audio_system_close(audio.get());
        leave_scratch_dir(scratch);
    }

    void click(uint8_t hover)
    {
        ui.hover_button = hover;
        ui.clicked = 1;
        update_transport(&ui, audio.get(), &song);
        ui.clicked = 0;
    }

    // Streams still on a channel once every stop has faded out.
    int settled_playing()
    {
        wait_until([&]() { return audio_sound_count(audio.get()) == audio_playing_count(audio.get()); });
        wait_until([&]() {
            for (const AudioSound& s : audio->sounds) {
                int state = audio_sound_state(&s);
                // A done sound is claimed while its file is being closed.
                if (state == SOUND_STOPPING || state == SOUND_DONE || state == SOUND_CLAIMED) {
                    return false;
                }
            }
            return true;
        });
        return audio_playing_count(audio.get());
    }

    bool paused() { return audio_paused(audio.get()); }

    std::string scratch;
    std::unique_ptr<AudioSystem> audio = std::make_unique<AudioSystem>();
    UiState ui = {};
    SongPath song = {};
};

struct Row {
    const char* name;
    std::vector<uint8_t> before; // clicks that lead to the state under test
    bool song_chosen;
    uint8_t hover;
    uint8_t transport;
    bool paused;
    int playing;
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class TransportTableTest : public TransportTest, public ::testing::WithParamInterface<Row> {};

TEST_P(TransportTableTest, ClickMovesStateAndEngineTogether)
{
    const Row& row = GetParam();
    start();
    if (row.song_chosen) {
        choose(&song, "long.mp3");
    }
    for (uint8_t hover : row.before) {
        click(hover);
    }
    click(row.hover);
    EXPECT_EQ(ui.transport, row.transport);
    EXPECT_EQ(paused(), row.paused);
    EXPECT_EQ(settled_playing(), row.playing);
    EXPECT_EQ(audio_sound_count(audio.get()), row.playing) << "a stream was opened or left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TransportTableTest,
    ::testing::Values(
        Row{"PlayWithoutSongDoesNothing", {}, false, HOVER_PLAY, TRANSPORT_STOPPED, false, 0},
        Row{"PlayStartsTheSong", {}, true, HOVER_PLAY, TRANSPORT_PLAYING, false, 1},
        Row{"PauseWhilePlaying", {HOVER_PLAY}, true, HOVER_PAUSE, TRANSPORT_PAUSED, true, 1},
        Row{"StopWhilePlaying", {HOVER_PLAY}, true, HOVER_STOP, TRANSPORT_STOPPED, false, 0},
        Row{"PlayWhilePausedResumes", {HOVER_PLAY, HOVER_PAUSE}, true, HOVER_PLAY, TRANSPORT_PLAYING, false, 1},
        Row{"StopWhilePausedIsIgnored", {HOVER_PLAY, HOVER_PAUSE}, true, HOVER_STOP, TRANSPORT_PAUSED, true, 1},
        Row{"PauseWhilePausedIsIgnored", {HOVER_PLAY, HOVER_PAUSE}, true, HOVER_PAUSE, TRANSPORT_PAUSED, true, 1},
        Row{"PlayWhilePlayingOpensNothing", {HOVER_PLAY}, true, HOVER_PLAY, TRANSPORT_PLAYING, false, 1},
        Row{"PauseWhileStopped", {}, true, HOVER_PAUSE, TRANSPORT_STOPPED, false, 0},
        Row{"StopWhileStopped", {}, true, HOVER_STOP, TRANSPORT_STOPPED, false, 0},
        Row{"OpenButtonLeavesPlayback", {HOVER_PLAY}, true, HOVER_OPEN, TRANSPORT_PLAYING, false, 1},
        Row{"ClickOutsideTheRow", {HOVER_PLAY, HOVER_PAUSE}, true, HOVER_NONE, TRANSPORT_PAUSED, true, 1},
        Row{"PlayAfterStopStartsAgain", {HOVER_PLAY, HOVER_STOP}, true, HOVER_PLAY, TRANSPORT_PLAYING, false, 1}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

// Not reporting a failure as success: a song that cannot be played leaves the
// player stopped, with play not lit, and nothing open.
TEST_F(TransportTest, SongThatCannotPlayLeavesThePlayerStopped)
{
    start();
    std::filesystem::create_directory("music/folder.mp3");
    write_file("music/empty.mp3", "");
    int fds = open_fd_count();
    for (const char* name : {"missing.mp3", "folder.mp3", "empty.mp3"}) {
        choose(&song, name);
        click(HOVER_PLAY);
        EXPECT_EQ(ui.transport, TRANSPORT_STOPPED) << name;
        EXPECT_EQ(audio_sound_count(audio.get()), 0) << name;
    }
    EXPECT_EQ(open_fd_count(), fds);
    choose(&song, "long.mp3");
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING) << "a failed play must not block the next";
}

TEST_F(TransportTest, ClicksAreHarmlessWhenTheEngineNeverStarted)
{
    choose(&song, "long.mp3");
    for (uint8_t hover : {HOVER_PAUSE, HOVER_STOP, HOVER_PLAY, HOVER_PLAY, HOVER_NONE}) {
        click(hover);
        EXPECT_EQ(ui.transport, TRANSPORT_STOPPED);
    }
}

// A song picked while one plays takes effect only after stop and play.
TEST_F(TransportTest, PickingWhilePlayingWaitsForStopAndPlay)
{
    start();
    choose(&song, "long.mp3");
    click(HOVER_PLAY);
    choose(&song, "other.mp3");
    click(HOVER_PLAY);
    EXPECT_TRUE(file_is_open("long.mp3"));
    EXPECT_FALSE(file_is_open("other.mp3"));
    click(HOVER_PAUSE);
    click(HOVER_PLAY); // resumes the first song
    EXPECT_FALSE(file_is_open("other.mp3"));
    click(HOVER_STOP);
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    EXPECT_TRUE(file_is_open("other.mp3"));
    EXPECT_EQ(settled_playing(), 1);
    EXPECT_FALSE(file_is_open("long.mp3"));
}

// No end-of-song detection: the state stays playing after the song is over.
TEST_F(TransportTest, AfterTheSongEndsByItselfTheTableStillHolds)
{
    start();
    choose(&song, "short.mp3");
    click(HOVER_PLAY);
    ASSERT_TRUE(wait_until([&]() { return audio_sound_count(audio.get()) == 0; })) << "the song never ended";
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    EXPECT_EQ(audio_sound_count(audio.get()), 0) << "play while playing opened the song";
    click(HOVER_PAUSE);
    EXPECT_EQ(ui.transport, TRANSPORT_PAUSED);
    click(HOVER_STOP);
    EXPECT_EQ(ui.transport, TRANSPORT_PAUSED);
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    EXPECT_FALSE(paused());
    click(HOVER_STOP);
    EXPECT_EQ(ui.transport, TRANSPORT_STOPPED);
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    EXPECT_EQ(audio_sound_count(audio.get()), 1) << "play from stopped opens the song again";
}

// The engine pauses the group by itself when its sound server goes away or
// stalls. The next frame shows it, click or not, as the player's own pause:
// stop and pause then do nothing, and play resumes.
TEST_F(TransportTest, GroupPausedByTheEngineShowsAsPaused)
{
    start();
    choose(&song, "long.mp3");
    click(HOVER_PLAY);
    audio_set_paused(audio.get(), true);
    ui.redraw = 0;
    update_transport(&ui, audio.get(), &song);
    EXPECT_EQ(ui.transport, TRANSPORT_PAUSED);
    EXPECT_EQ(ui.redraw, REDRAW_DUE) << "the buttons were not redrawn";
    click(HOVER_STOP);
    EXPECT_EQ(ui.transport, TRANSPORT_PAUSED);
    click(HOVER_PAUSE);
    EXPECT_EQ(ui.transport, TRANSPORT_PAUSED);
    EXPECT_EQ(settled_playing(), 1);
    click(HOVER_PLAY);
    EXPECT_EQ(ui.transport, TRANSPORT_PLAYING);
    EXPECT_FALSE(paused());
}

TEST_F(TransportTest, HundredPlayAndStopClicksLeaveFilesAndMemoryFlat)
{
    // A hundred cycles show a leak of a file or of a buffer a cycle; smaller
    // leaks are LeakSanitizer's to find, in the sanitizer build, where
    // resident memory means nothing.
    if (!RESIDENT_MEMORY_MEANINGFUL) {
        GTEST_SKIP() << "resident memory says nothing about leaks under the sanitizers";
    }
    constexpr int WARM_UP_CYCLES = 20;
    constexpr int SOAK_CYCLES = 100;
    start();
    choose(&song, "long.mp3");
    auto cycle = [&]() {
        click(HOVER_PLAY);
        ASSERT_EQ(ui.transport, TRANSPORT_PLAYING) << audio_last_error(audio.get());
        click(HOVER_STOP);
    };
    for (int i = 0; i < WARM_UP_CYCLES; ++i) {
        cycle();
    }
    settled_playing();
    int fds = open_fd_count();
    long memory = resident_bytes();
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < SOAK_CYCLES; ++i) {
        cycle();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(settled_playing(), 0);
    EXPECT_EQ(audio_sound_count(audio.get()), 0);
    EXPECT_EQ(open_fd_count(), fds);
    long growth = resident_bytes() - memory;
    std::printf("%d play/stop clicks in %.1f s: %d fds before and after, resident memory grew by %ld KiB\n",
                SOAK_CYCLES, seconds, fds, growth / 1024);
    EXPECT_LT(growth, SOAK_MEMORY_SLACK);
}

} // namespace
