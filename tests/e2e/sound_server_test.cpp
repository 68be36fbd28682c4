// The whole player on a real sound server: it holds a stream open only while
// something sounds, and what it plays is heard right across closing and
// reopening it; quit signals end the run however idle the player is.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "tests/e2e/fixture.h"
#include "tests/e2e/sound_server.h"

namespace {

class OnASoundServer : public WholePlayer {
  protected:
    SoundServer server;

    void SetUp() override
    {
        WholePlayer::SetUp();
        std::string why;
        ASSERT_TRUE(start_sound_server(&server, &why)) << why;
        player.settings = sound_server_settings(server);
    }

    void TearDown() override
    {
        kill_player(&player);
        stop_sound_server(&server);
        WholePlayer::TearDown();
    }

    int streams() { return streams_of(server, player.pid); }

    // Waits for the first stretch with sound in it and tells its pitch, so
    // that what the player plays first is what is judged.
    double first_pitch_heard()
    {
        Monitored heard;
        wait_until([&] { return (heard = monitor(server, 0.25)).rms > 0.05; });
        return heard.rms > 0.05 ? heard.hz : 0.0;
    }

    bool silent()
    {
        Monitored heard = monitor(server, 0.2);
        return heard.heard && heard.rms < 0.001;
    }
};

constexpr double FIRST_HZ = 440;
constexpr double THEN_HZ = 660;
constexpr double FIRST_SECONDS = 3;

bool near(double hz, double expected)
{
    return std::abs(hz - expected) < expected * 0.03;
}

TEST_F(OnASoundServer, StreamOpenOnlyWhileSomethingSoundsAndEveryClickHeardRight)
{
    // One song in two parts, so that what is heard tells where it plays
    // from: a resume that restarted would begin at the first pitch again.
    make_tone_mp3("music/first.part", {FIRST_HZ, 48000, 1, FIRST_SECONDS, "-b 64"});
    make_tone_mp3("music/then.part", {THEN_HZ, 48000, 1, 60, "-b 64"});
    write_file("music/song.mp3", read_file("music/first.part") + read_file("music/then.part"));
    std::filesystem::remove("music/first.part");
    std::filesystem::remove("music/then.part");

    ASSERT_NE(launch(), 0u);
    // The start-up check of the device leaves nothing open.
    EXPECT_TRUE(wait_until([&] { return streams() == 0; })) << streams() << " streams open at rest";
    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 3; }));
    pick_line_of("song.mp3");
    click_on(BACK_SPOT);
    WindowLook look;
    ASSERT_TRUE(wait_for_width(x, player, PLAYER_VIEW_WIDTH, &look));
    EXPECT_EQ(streams(), 0) << "a stream was open before anything played";

    click_on(PLAY_SPOT);
    EXPECT_TRUE(wait_until([&] { return streams() == 1; }));
    double hz = first_pitch_heard();
    EXPECT_TRUE(near(hz, FIRST_HZ)) << "the song began at " << hz << " Hz";
    EXPECT_TRUE(wait_until([&] { return near(monitor(server, 0.25).hz, THEN_HZ); })) << "the second part never came";

    click_on(PAUSE_SPOT);
    EXPECT_TRUE(wait_until([&] { return silent(); })) << "still sounding after pause";
    EXPECT_TRUE(wait_until([&] { return streams() == 0; })) << "the stream stayed open while paused";

    click_on(PLAY_SPOT);
    EXPECT_TRUE(wait_until([&] { return streams() == 1; }));
    hz = first_pitch_heard();
    EXPECT_TRUE(near(hz, THEN_HZ)) << "resumed at " << hz << " Hz, not where it paused";

    click_on(STOP_SPOT);
    EXPECT_TRUE(wait_until([&] { return silent(); })) << "still sounding after stop";
    EXPECT_TRUE(wait_until([&] { return streams() == 0; })) << "the stream stayed open after stop";

    click_on(PLAY_SPOT);
    EXPECT_TRUE(wait_until([&] { return streams() == 1; }));
    hz = first_pitch_heard();
    EXPECT_TRUE(near(hz, FIRST_HZ)) << "played again from " << hz << " Hz, not from the start";

    quit_with_escape();
}

// The frame loop sleeps on the X connection; a signal taken by another
// thread would leave it asleep.
TEST_F(WholePlayer, QuitSignalsEndAnIdleRun)
{
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number);
        ASSERT_NE(launch(), 0u);
        kill(player.pid, signal_number);
        ASSERT_TRUE(wait_exit(&player)) << "the player did not end on the signal";
        EXPECT_EQ(player.status, 0);
        EXPECT_EQ(player_stderr(player), "");
    }
}

} // namespace
