// The whole player on real sound servers, a private PulseAudio and a private
// PipeWire each where installed: it holds a stream open only while something
// sounds, shows it to the desktop by name, and what it plays is heard right,
// every frame once and without a gap, across closing and reopening it,
// across a pause taken back from the server's buffer, and across the server
// crashing or freezing; quit signals end the run however idle the player is,
// and an idle player sleeps until something happens, on Wayland as on X.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/e2e/fixture.h"
#include "tests/e2e/sound_server.h"

// After the tests' own headers, which bring Xlib in after GoogleTest.
#include <X11/extensions/XTest.h>

// Rows name their server.
void PrintTo(ServerKind kind, std::ostream* out)
{
    *out << server_name(kind);
}

namespace {

constexpr double FIRST_HZ = 440;
constexpr double THEN_HZ = 660;
constexpr double FIRST_SECONDS = 3;
constexpr int MONITOR_RATE = 48000;
// Louder than anything but the song; the tone is at half scale.
constexpr float LOUD = 0.01f;

bool near(double hz, double expected)
{
    return std::abs(hz - expected) < expected * 0.03;
}

// The song that shows every frame: a sweep long enough that a stream's
// first seconds, a pause kept in the stream and a resume in a new stream all
// fall inside it. From 400 Hz up a frame differs from the next by far more
// than the coding's error, and a sine of these pitches passes zero in a
// sample or two.
const ToneRecipe SWEEP = {400, 48000, 1, 10, "-b 128"};
constexpr double SWEEP_TO_HZ = 1600;
// Digital silence this long inside a sounding part is a gap.
constexpr size_t GAP_FRAMES = MONITOR_RATE / 1000;
// A part is judged this far inside its ends: the 5 ms fades, and the first
// frames of a new stream, which PulseAudio's null sink may not pass on to
// its monitor.
constexpr size_t EDGE_FRAMES = MONITOR_RATE / 50;
// A pause's silence is at least this long.
constexpr size_t PAUSE_FRAMES = MONITOR_RATE / 20;
// Stretches of a part are found in the song this far apart.
constexpr size_t CHECK_EVERY_FRAMES = MONITOR_RATE / 20;
// A stretch lies where expected in the song when it differs from it by less
// than this (full scale 1.0); one frame off differs by 0.02 at 400 Hz.
constexpr double SAME_STRETCH = 0.005;
// On PulseAudio the null sink's monitor misses up to one fragment of the
// recorder of a new stream's first frames: a resume in a new stream reads
// as that many frames skipped.
constexpr long MONITOR_MISSES_FRAMES = 96;

double seconds_of(size_t frames)
{
    return static_cast<double>(frames) / MONITOR_RATE;
}

std::vector<int16_t> as_samples(const std::vector<float>& heard)
{
    std::vector<int16_t> samples(heard.size());
    for (size_t i = 0; i < heard.size(); ++i) {
        samples[i] = static_cast<int16_t>(std::lrint(heard[i] * 32768.0f));
    }
    return samples;
}

// The frames the player plays from an MP3: all of them, as the engine
// decodes without gapless trimming.
std::vector<int16_t> decoded(const std::string& mp3)
{
    std::string raw = output_of("mpg123 -q --no-gapless -e s16 -s '" + mp3 + "'");
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

size_t first_sound(const std::vector<int16_t>& heard, size_t from)
{
    while (from < heard.size() && heard[from] == 0) {
        ++from;
    }
    return from;
}

// How much sound has been recorded since the first after frame from.
double sounding_since(Recording* recording, size_t from)
{
    std::vector<float> heard = recorded(recording);
    while (from < heard.size() && heard[from] == 0.0f) {
        ++from;
    }
    return seconds_of(heard.size() - std::min(from, heard.size()));
}

// What is wrong inside a sounding part, one line each: runs of digital
// silence, and the song going on elsewhere than on the next frame.
std::string faults_inside(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, Stretch part,
                          const char* name)
{
    std::ostringstream faults;
    if (part.end < part.begin + 2 * EDGE_FRAMES + MATCH_FRAMES) {
        faults << name << ": too short to judge (" << seconds_of(part.end - part.begin) << " s)\n";
        return faults.str();
    }
    size_t from = part.begin + EDGE_FRAMES;
    size_t to = part.end - EDGE_FRAMES;
    // Song frame minus recorded frame, while the song goes on frame by frame.
    long shift = find_in_song(song, heard, from, 1) - static_cast<long>(from);
    std::vector<Stretch> gaps = silent_runs(heard, 1, from, to, GAP_FRAMES);
    for (const Stretch& gap : gaps) {
        faults << name << ": " << seconds_of(gap.end - gap.begin) * 1000 << " ms of digital silence from "
               << seconds_of(gap.begin - part.begin) << " s after its first sound (song at "
               << seconds_of(static_cast<size_t>(static_cast<long>(gap.begin) + shift)) << " s)\n";
    }
    size_t last_found = from;
    for (size_t at = from + CHECK_EVERY_FRAMES; at + MATCH_FRAMES <= to; at += CHECK_EVERY_FRAMES) {
        if (!silent_runs(heard, 1, at, at + MATCH_FRAMES, GAP_FRAMES).empty() ||
            difference_at(song, heard, at, static_cast<long>(at) + shift, 1) < SAME_STRETCH) {
            last_found = at;
            continue;
        }
        long now = find_in_song(song, heard, at, 1) - static_cast<long>(at);
        long moved = now - shift;
        faults << name << ": between " << seconds_of(last_found - part.begin) << " s and "
               << seconds_of(at - part.begin) << " s after its first sound the song ";
        if (moved == 0) {
            faults << "sounds different, by " << difference_at(song, heard, at, now + static_cast<long>(at), 1)
                   << " of full scale\n";
        } else if (moved > 0) {
            faults << "skipped " << moved << " frames\n";
        } else {
            faults << "fell " << -moved << " frames behind (silence put in, or frames heard twice)\n";
        }
        shift = now;
        last_found = at;
    }
    return faults.str();
}

// What a test saw, replayed as its own once the run counts.
void replay(const ::testing::TestPartResultArray& results)
{
    for (int i = 0; i < results.size(); ++i) {
        const ::testing::TestPartResult& result = results.GetTestPartResult(i);
        if (result.failed()) {
            ADD_FAILURE_AT(result.file_name() == nullptr ? "?" : result.file_name(), result.line_number())
                << result.message();
        }
    }
}

class OnASoundServer : public WholePlayer {
  protected:
    SoundServer server;

    virtual ServerKind kind() const = 0;

    void SetUp() override
    {
        std::string missing = missing_programs(kind());
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        WholePlayer::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        server.kind = kind();
        std::string why;
        ASSERT_TRUE(start_sound_server(&server, &why)) << why;
        player.settings = sound_server_settings(server);
    }

    // Which of the server's processes ended by itself under the test, and
    // how; empty while it runs.
    std::string died;

    // Thrown by a wait on a dead server, so that the run stops at once.
    struct ServerDied {};

    // As the toolkit's, but a server that died ends the run at once.
    bool wait_until(const std::function<bool()>& condition, double seconds = PATIENCE_SECONDS)
    {
        return ::wait_until(
            [&] {
                if (died.empty() && !sound_server_died(&server, &died)) {
                    return condition();
                }
                throw ServerDied{};
            },
            seconds);
    }

    // Runs the test's moves and checks; false when the server died under
    // them.
    bool run_until_the_server_dies(const std::function<void()>& run)
    {
        try {
            run();
        } catch (const ServerDied&) {
        }
        return died.empty() && !sound_server_died(&server, &died);
    }

    // Runs a test on the server. pipewire-pulse 0.3.65 now and then dies of
    // a segmentation fault while clients come and go: when the server died
    // under the run, that is told in the test's output with what the run saw,
    // and the test runs once more on a fresh server, player and folder. A
    // second death fails it.
    void on_the_server(const std::function<void()>& run)
    {
        ::testing::TestPartResultArray seen;
        bool ran_through;
        {
            ::testing::ScopedFakeTestPartResultReporter holding(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &seen);
            ran_through = run_until_the_server_dies(run);
        }
        if (ran_through) {
            replay(seen);
            return;
        }
        std::cout << "[  CRASH   ] " << server_name(kind()) << " died under the test: " << died;
        for (int i = 0; i < seen.size(); ++i) {
            if (seen.GetTestPartResult(i).failed()) {
                std::cout << "[  CRASH   ] the test then saw: " << seen.GetTestPartResult(i).message() << "\n";
            }
        }
        std::cout << "[  CRASH   ] running the test once more on a fresh server" << std::endl;
        RecordProperty("server_died", died);
        died.clear();
        kill_player(&player);
        player = Player{};
        stop_sound_server(&server);
        leave_scratch_dir(dir);
        dir = enter_scratch_dir();
        std::string why;
        ASSERT_TRUE(start_sound_server(&server, &why)) << why;
        player.settings = sound_server_settings(server);
        EXPECT_TRUE(run_until_the_server_dies(run)) << server_name(kind()) << " died again: " << died;
    }

    void TearDown() override
    {
        kill_player(&player);
        stop_sound_server(&server);
        WholePlayer::TearDown();
    }

    int streams() { return streams_of(server, player.pid); }

    // One song in two parts, so that what is heard tells where it plays
    // from: a resume that restarted would begin at the first pitch again.
    void make_two_pitch_song()
    {
        make_tone_mp3("music/first.part", {FIRST_HZ, 48000, 1, FIRST_SECONDS, "-b 64"});
        make_tone_mp3("music/then.part", {THEN_HZ, 48000, 1, 60, "-b 64"});
        write_file("music/song.mp3", read_file("music/first.part") + read_file("music/then.part"));
        std::filesystem::remove("music/first.part");
        std::filesystem::remove("music/then.part");
    }

    void choose_the_song() { choose_song("song.mp3", 3); }

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

    // The buttons show the player paused: pause lit with the pointer away.
    bool shows_paused()
    {
        Image pause_lit = load_skin_bitmap("pause_en.bmp");
        move_to(REST_SPOT);
        return wait_for_screen([&](const Image& s) { return shows_bitmap(s, pause_lit, PAUSE_AT.x, PAUSE_AT.y); });
    }
};

// Each server installed here, a row for each.
const auto SERVERS = ::testing::Values(ServerKind::PULSEAUDIO, ServerKind::PIPEWIRE);

std::string server_row_name(const ::testing::TestParamInfo<ServerKind>& info)
{
    return server_name(info.param);
}

class OnEachServer : public OnASoundServer, public ::testing::WithParamInterface<ServerKind> {
  protected:
    ServerKind kind() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Servers, OnEachServer, SERVERS, server_row_name);

TEST_P(OnEachServer, StreamOpenOnlyWhileSomethingSoundsAndEveryClickHeardRight)
{
    on_the_server([&] {
        make_two_pitch_song();
        ASSERT_NE(launch(), 0u);
        // The start-up check of the device leaves nothing open.
        EXPECT_TRUE(wait_until([&] { return streams() == 0; })) << streams() << " streams open at rest";
        choose_the_song();
        EXPECT_EQ(streams(), 0) << "a stream was open before anything played";

        click_on(PLAY_SPOT);
        EXPECT_TRUE(wait_until([&] { return streams() == 1; }));
        // The desktop names the stream by the player and the song.
        std::string described = stream_description(server, player.pid);
        for (const char* property : {"application.name = \"Klamor\"", "application.icon_name = \"klamor\"",
                                     "media.role = \"music\"", "media.name = \"song.mp3\""}) {
            EXPECT_NE(described.find(property), std::string::npos) << property << " not in:\n" << described;
        }
        double hz = first_pitch_heard();
        EXPECT_TRUE(near(hz, FIRST_HZ)) << "the song began at " << hz << " Hz";
        EXPECT_TRUE(wait_until([&] { return near(monitor(server, 0.25).hz, THEN_HZ); }))
            << "the second part never came";

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
    });
}

// Every frame of the song is heard, once, in its place: no silence inside
// what sounds, in a new stream's first seconds (started from stopped, and
// resumed after a pause long enough to close the stream) or later, and a
// resume goes on from the frame after the last one heard, whether the pause
// kept the stream or not. Judged frame by frame against the decoded song.
TEST_P(OnEachServer, EveryFrameHeardOnceInItsPlace)
{
    on_the_server([&] {
        make_sweep_mp3("music/sweep.mp3", SWEEP, SWEEP_TO_HZ);
        std::vector<int16_t> song = decoded("music/sweep.mp3");
        ASSERT_GT(seconds_of(song.size()), SWEEP.seconds - 0.1) << "mpg123 did not decode the song";
        ASSERT_NE(launch(), 0u);
        choose_song("sweep.mp3", 3);
        // Before anything plays: a recorder that joins a playing null sink
        // makes it take back what it had mixed ahead.
        Recording recording;
        start_recording(server, &recording);
        ASSERT_TRUE(wait_until([&] { return seconds_of(recorded(&recording).size()) > 0.5; })) << "nothing recorded";

        auto clicked = [&](Spot spot) {
            size_t at = recorded(&recording).size();
            click_on(spot);
            return at;
        };
        size_t played = clicked(PLAY_SPOT);
        ASSERT_TRUE(wait_until([&] { return sounding_since(&recording, played) > 2.5; })) << "the song was not heard";
        // Paused briefly, the stream stays open; long, it closes, and the
        // resume opens another.
        size_t paused_briefly = clicked(PAUSE_SPOT);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        size_t resumed = clicked(PLAY_SPOT);
        ASSERT_TRUE(wait_until([&] { return sounding_since(&recording, resumed) > 1.5; }))
            << "nothing heard after the first resume";
        size_t paused_long = clicked(PAUSE_SPOT);
        ASSERT_TRUE(wait_until([&] { return streams() == 0; })) << "the stream stayed open while paused";
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        size_t resumed_anew = clicked(PLAY_SPOT);
        ASSERT_TRUE(wait_until([&] { return sounding_since(&recording, resumed_anew) > 2.5; }))
            << "nothing heard after the second resume";
        stop_recording(&recording);
        std::vector<int16_t> heard = as_samples(recorded(&recording));

        std::vector<Stretch> pauses;
        for (size_t click : {paused_briefly, paused_long}) {
            std::vector<Stretch> silences = silent_runs(heard, 1, click, heard.size(), PAUSE_FRAMES);
            ASSERT_FALSE(silences.empty()) << "no silence after the pause at " << seconds_of(click) << " s";
            pauses.push_back(silences.front());
        }
        Stretch parts[] = {{first_sound(heard, played), pauses[0].begin},
                           {pauses[0].end, pauses[1].begin},
                           {pauses[1].end, heard.size()}};
        const char* names[] = {"the first stream", "after the brief pause", "the new stream after the long pause"};
        std::string faults;
        for (size_t i = 0; i < std::size(parts); ++i) {
            faults += faults_inside(song, heard, parts[i], names[i]);
        }
        EXPECT_EQ(faults, "");
        for (size_t i = 0; i < pauses.size(); ++i) {
            bool found = false;
            long skipped = resume_gap(song, heard, pauses[i].begin, pauses[i].end, 1, &found);
            EXPECT_TRUE(found) << "what was heard around pause " << i + 1 << " is not in the song";
            long missed = i == 1 && kind() == ServerKind::PULSEAUDIO ? MONITOR_MISSES_FRAMES : 0;
            EXPECT_TRUE(skipped >= 0 && skipped <= missed)
                << "the resume after pause " << i + 1 << " " << (skipped < 0 ? "repeated " : "skipped ")
                << std::abs(skipped) << " frames";
        }
        quit_with_escape();
    });
}

// A sink the user suspends stops the server asking for the song, but the
// server still answers: the player waits for it, still playing, and the
// song goes on when the sink resumes.
TEST_P(OnEachServer, SuspendedSinkIsWaitedForAndTheSongGoesOn)
{
    if (kind() == ServerKind::PIPEWIRE) {
        GTEST_SKIP() << "PipeWire's pulse server goes on asking a suspended null sink's streams for more";
    }
    on_the_server([&] {
        make_two_pitch_song();
        ASSERT_NE(launch(), 0u);
        choose_the_song();
        click_on(PLAY_SPOT);
        ASSERT_GT(first_pitch_heard(), 0.0) << "the song was not heard";
        suspend_sink(server, true);
        // Longer than the player waits for a word from the server before it
        // asks, and than it then waits for the answer.
        std::this_thread::sleep_for(std::chrono::seconds(5));
        suspend_sink(server, false);
        EXPECT_GT(first_pitch_heard(), 0.0) << "the song did not go on when the sink resumed";
        Image play_lit = load_skin_bitmap("play_en.bmp");
        Image pause_lit = load_skin_bitmap("pause_en.bmp");
        move_to(REST_SPOT);
        EXPECT_TRUE(wait_for_screen([&](const Image& s) {
            return shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y) &&
                   !shows_bitmap(s, pause_lit, PAUSE_AT.x, PAUSE_AT.y);
        })) << "the player gave the server up";
        EXPECT_EQ(streams(), 1);
        quit_with_escape();
    });
}

// What the server does to a playing, paused or stopped player, and what
// the player shows and does next.
enum class Fault { CRASH, FREEZE };
// The click after play, before the fault.
enum class Then { PLAY_ON, PAUSE, STOP };

struct FaultRow {
    const char* name;
    Then clicked_before;
    Fault fault;
    bool shows_paused_after; // the song can only go on from where it was heard
    bool stop_first;         // stop, then play, at once, after the fault
};

void PrintTo(const FaultRow& row, std::ostream* out)
{
    *out << row.name;
}

class ServerFault : public OnASoundServer, public ::testing::WithParamInterface<std::tuple<ServerKind, FaultRow>> {
  protected:
    ServerKind kind() const override { return std::get<0>(GetParam()); }
};

// The player stays up and answers, the buttons tell the truth, and the next
// play connects afresh and is heard; a quick stop and play right after a
// crash is heard too, not lost on the dead connection.
TEST_P(ServerFault, PlayerAnswersShowsTheTruthAndTheNextPlayIsHeard)
{
    on_the_server([&] {
        const FaultRow& row = std::get<1>(GetParam());
        make_two_pitch_song();
        ASSERT_NE(launch(), 0u);
        choose_the_song();
        click_on(PLAY_SPOT);
        ASSERT_GT(first_pitch_heard(), 0.0) << "the song was not heard";
        if (row.clicked_before == Then::PAUSE) {
            click_on(PAUSE_SPOT);
            EXPECT_TRUE(wait_until([&] { return silent(); }));
        } else if (row.clicked_before == Then::STOP) {
            click_on(STOP_SPOT);
        }

        std::string why;
        if (row.fault == Fault::CRASH) {
            ASSERT_TRUE(restart_sound_server(&server, &why)) << why;
        } else {
            freeze_sound_server(server, true);
        }
        expect_hover_still_redraws();
        if (row.shows_paused_after) {
            EXPECT_TRUE(shows_paused()) << "the buttons still say playing";
        }
        if (row.fault == Fault::FREEZE) {
            freeze_sound_server(server, false);
        }

        if (row.stop_first) {
            click_on(STOP_SPOT);
        }
        click_on(PLAY_SPOT);
        EXPECT_GT(first_pitch_heard(), 0.0) << "the next play was not heard";
        EXPECT_EQ(streams(), 1);
        quit_with_escape();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServerFault,
    ::testing::Combine(SERVERS,
                       ::testing::Values(FaultRow{"CrashWhilePlayingThenStopAndPlay", Then::PLAY_ON, Fault::CRASH, true,
                                                  true},
                                         FaultRow{"CrashWhilePaused", Then::PAUSE, Fault::CRASH, true, false},
                                         FaultRow{"CrashRightAfterStop", Then::STOP, Fault::CRASH, false, true},
                                         FaultRow{"FreezeWhilePlaying", Then::PLAY_ON, Fault::FREEZE, true, false},
                                         FaultRow{"FreezeWhilePaused", Then::PAUSE, Fault::FREEZE, true, false})),
    [](const ::testing::TestParamInfo<std::tuple<ServerKind, FaultRow>>& info) {
        return std::string(server_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
    });

// A frozen server accepts a connection and never answers. Neither starting
// against it nor a play on it may hold the window: it shows, answers the
// pointer, and quits on Escape and on SIGTERM.
TEST_P(OnEachServer, FrozenServerHoldsNeitherStartNorPlayNorQuit)
{
    on_the_server([&] {
        make_two_pitch_song();
        freeze_sound_server(server, true);
        for (int quit_by : {0, SIGTERM}) {
            SCOPED_TRACE(quit_by == 0 ? "Escape" : "SIGTERM");
            ASSERT_NE(launch(), 0u) << "no window against a frozen server";
            choose_the_song();
            click_on(PLAY_SPOT);
            expect_hover_still_redraws();
            if (quit_by == 0) {
                quit_with_escape();
            } else {
                kill(player.pid, SIGTERM);
                ASSERT_TRUE(wait_exit(&player)) << "the player did not end on SIGTERM";
                EXPECT_EQ(player.status, 0);
            }
        }
    });
}

// Without a server the sound goes to SDL's next driver, as SDL_AUDIODRIVER
// lists them.
TEST_F(WholePlayer, NoServerAtStartUpFallsBackToSdl)
{
    make_tone_mp3("music/song.mp3", E2E_TONE);
    player.settings = {{"SDL_AUDIODRIVER", "pulseaudio,disk"}, {"PULSE_SERVER", "unix:" + dir + "/no-server"}};
    ASSERT_NE(launch("played.raw"), 0u);
    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 3; }));
    pick_line_of("song.mp3");
    click_on(PLAY_SPOT);
    auto tone = [&] {
        Heard heard = listen(player.audio_file, 0.2);
        return heard.rms > 0.05 && near(heard.hz, E2E_TONE.frequency);
    };
    EXPECT_TRUE(wait_until(tone)) << "the song did not reach SDL's disk driver";
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

// Times the player's threads were put to sleep and woken since they started.
long wakes_of(pid_t pid)
{
    long wakes = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::istringstream in(read_file(task.path() / "status"));
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("voluntary_ctxt_switches:")) {
                wakes += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return wakes;
}

// On Wayland alone the frame loop sleeps on the Wayland display, as it does
// on the X connection: no tick wakes an idle player (one every 10 ms did),
// and a key still reaches it at once. Under a weston nested in the test's X
// server, where weston is installed.
TEST_F(WholePlayer, IdleOnWaylandSleepsUntilAKey)
{
    std::string weston = output_of("command -v weston");
    if (weston.empty()) {
        GTEST_SKIP() << "weston is not installed";
    }
    weston.erase(weston.find_last_not_of('\n') + 1);
    // Weston insists on a runtime folder only its user may enter.
    std::string runtime = dir + "/runtime";
    std::filesystem::create_directories(runtime + "/output");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    // Without a panel, whose clock would change the picture.
    write_file(dir + "/weston.ini", "[shell]\npanel-position=none\n");
    Player compositor;
    start_program(&compositor, runtime + "/output", dir,
                  {weston, "--backend=x11-backend.so", "--socket=wayland-klamor", "--idle-time=0"},
                  {"DISPLAY=:" + std::to_string(x.number), "XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + dir});
    // What weston shows, in its window on the X server: the first the
    // server shows.
    Image shown;
    auto picture = [&] {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        Image shot;
        XQueryTree(x.display, DefaultRootWindow(x.display), &root, &parent, &children, &count);
        for (unsigned int i = 0; i < count && !screenshot(x.display, children[i], &shot); ++i) {
        }
        if (children != nullptr) {
            XFree(children);
        }
        return shot;
    };
    // Settled: the same picture twice, a moment apart.
    auto settles = [&] {
        Image before = picture();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        shown = picture();
        return shown.width > 0 && before.pixels == shown.pixels;
    };
    if (!wait_until([&] { return std::filesystem::exists(runtime + "/wayland-klamor") && settles(); })) {
        end_child(&compositor.pid);
        FAIL() << "weston did not come up: " << player_stderr(compositor);
    }
    Image desktop = shown;

    // Under the sanitizers, SDL's Wayland output and the EGL and fontconfig
    // it loads keep what they allocate to the end of the process, some of it
    // in a driver unloaded before the leak report, which no suppression can
    // name: the player's own leaks are checked on X11.
    std::vector<std::string> env = {"WAYLAND_DISPLAY=wayland-klamor", "XDG_RUNTIME_DIR=" + runtime,
                                    "DBUS_SESSION_BUS_ADDRESS=disabled:", "LSAN_OPTIONS=detect_leaks=0"};
    for (const std::string& setting : player_settings(x)) {
        if (!setting.starts_with("DISPLAY=") && !setting.starts_with("SDL_VIDEODRIVER=")) {
            env.push_back(setting);
        }
    }
    start_program(&player, dir, dir, {KLAMOR_PLAYER_PATH}, env);
    EXPECT_TRUE(wait_until([&] { return settles() && shown.pixels != desktop.pixels; }))
        << "the window did not show: " << player_stderr(player);
    // Half a second with next to no wake-ups: the tick made fifty.
    constexpr long IDLE_WAKES = 10;
    long before = wakes_of(player.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(wakes_of(player.pid) - before, IDLE_WAKES) << "the idle player kept waking";

    // Weston's window on the X server has the keyboard under the pointer,
    // and gives it to the player's window.
    XTestFakeMotionEvent(x.display, DefaultScreen(x.display), 100, 100, CurrentTime);
    KeyCode escape = XKeysymToKeycode(x.display, XStringToKeysym("Escape"));
    XTestFakeKeyEvent(x.display, escape, True, CurrentTime);
    XTestFakeKeyEvent(x.display, escape, False, CurrentTime);
    XSync(x.display, False);
    EXPECT_TRUE(wait_exit(&player)) << "the player did not take the key";
    EXPECT_EQ(player.status, 0);
    EXPECT_EQ(player_stderr(player), "");
    end_child(&compositor.pid);
}

} // namespace
