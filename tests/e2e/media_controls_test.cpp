// The desktop's media controls: the whole player on a private session bus,
// driven with playerctl as a media key or a panel widget drives it, heard
// through the disk audio driver and seen in the lit buttons.
#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <string>

#include "tests/e2e/fixture.h"
#include "tests/e2e/session_bus.h"

namespace {

// Calls to the player's Player interface on a connection of the test's own,
// sent without waiting for their replies, which are counted as they come.
struct Calls {
    sd_bus* bus = nullptr;
    int sent = 0;
    int answered = 0;
    int failed = 0;                 // error replies, a timeout's NoReply among them
    std::string failure;            // the first one's name
    int replies_before_change = -1; // when the first change was signalled
};

// Only a call the player never answers runs this out.
constexpr uint64_t CALL_TIMEOUT_US = static_cast<uint64_t>(PATIENCE_SECONDS * 1e6);

int on_change(sd_bus_message*, void* userdata, sd_bus_error*)
{
    Calls* calls = static_cast<Calls*>(userdata);
    if (calls->replies_before_change < 0) {
        calls->replies_before_change = calls->answered + calls->failed;
    }
    return 0;
}

bool connect_calls(Calls* calls, const std::string& address)
{
    return sd_bus_new(&calls->bus) >= 0 && sd_bus_set_address(calls->bus, address.c_str()) >= 0 &&
           sd_bus_set_bus_client(calls->bus, 1) >= 0 && sd_bus_start(calls->bus) >= 0 &&
           sd_bus_match_signal(calls->bus, nullptr, nullptr, "/org/mpris/MediaPlayer2",
                               "org.freedesktop.DBus.Properties", "PropertiesChanged", on_change, calls) >= 0;
}

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    Calls* calls = static_cast<Calls*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        if (calls->failed++ == 0) {
            calls->failure = sd_bus_message_get_error(reply)->name;
        }
    } else {
        ++calls->answered;
    }
    return 0;
}

void send_call(Calls* calls, const char* method)
{
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(calls->bus, &call, "org.mpris.MediaPlayer2.klamor", "/org/mpris/MediaPlayer2",
                                       "org.mpris.MediaPlayer2.Player", method) >= 0 &&
        sd_bus_call_async(calls->bus, nullptr, call, on_reply, calls, CALL_TIMEOUT_US) >= 0) {
        ++calls->sent;
    }
    sd_bus_message_unref(call);
}

// Takes replies until every call has one and a change was signalled.
bool all_answered_and_changed(Calls* calls)
{
    return wait_until([&] {
        while (sd_bus_process(calls->bus, nullptr) > 0) {
        }
        return calls->answered + calls->failed == calls->sent && calls->replies_before_change >= 0;
    });
}

void close_calls(Calls* calls)
{
    calls->bus = sd_bus_flush_close_unref(calls->bus);
}

class OnASessionBus : public WholePlayer {
  protected:
    SessionBus bus;

    void SetUp() override
    {
        WholePlayer::SetUp();
        std::string why;
        ASSERT_TRUE(start_session_bus(&bus, &why)) << why;
        player.settings = {{"DBUS_SESSION_BUS_ADDRESS", bus.address}};
    }

    void TearDown() override
    {
        kill_player(&player);
        stop_session_bus(&bus);
        WholePlayer::TearDown();
    }

    // Returns once playerctl has the reply, so the call has been handled.
    std::string playerctl(const std::string& arguments)
    {
        std::string out = on_bus(bus, "playerctl --player=klamor " + arguments);
        if (!out.empty() && out.back() == '\n') {
            out.pop_back();
        }
        return out;
    }

    // The player's name is asked for without waiting, so it shows on the
    // bus shortly after the window.
    bool named_on_bus()
    {
        return wait_until([&] { return on_bus(bus, "playerctl --list-all").find("klamor\n") != std::string::npos; });
    }

    // A property as dbus-send prints it.
    std::string property(const std::string& interface, const std::string& name)
    {
        return on_bus(bus, "dbus-send --print-reply --dest=org.mpris.MediaPlayer2.klamor /org/mpris/MediaPlayer2 "
                           "org.freedesktop.DBus.Properties.Get string:" +
                               interface + " string:" + name);
    }

    // Play lit while playing, play and pause while paused.
    bool shows_status(const std::string& status)
    {
        Image play_lit = load_skin_bitmap("play_en.bmp");
        Image pause_lit = load_skin_bitmap("pause_en.bmp");
        return wait_for_screen([&](const Image& s) {
            return shows_bitmap(s, play_lit, PLAY_AT.x, PLAY_AT.y) == (status != "Stopped") &&
                   shows_bitmap(s, pause_lit, PAUSE_AT.x, PAUSE_AT.y) == (status == "Paused");
        });
    }
};

constexpr double TONE_HZ = 660;

TEST_F(OnASessionBus, CallsPressTheButtonsAsClicksWould)
{
    make_tone_mp3("music/tone.mp3", {TONE_HZ, 44100, 1, 60, "-b 64"});
    ASSERT_NE(launch("sound.raw"), 0u);
    auto tone = [&] { return hears_tone(TONE_HZ); };
    auto silence = [&] { return hears_silence(); };

    // With no song chosen, play does nothing.
    playerctl("play");
    EXPECT_EQ(playerctl("status"), "Stopped");
    choose_song("tone.mp3", 3);
    // Nothing under the pointer from here on: what lights is the transport,
    // presented by the frame that handled the call.
    move_to(REST_SPOT);

    struct Step {
        const char* command;
        const char* status; // afterwards
    };
    const Step STEPS[] = {
        {"play-pause", "Playing"}, // plays while stopped
        {"play", "Playing"},       // does nothing while playing
        {"play-pause", "Paused"},  // pauses while playing
        {"stop", "Paused"},        // is ignored while paused
        {"play-pause", "Playing"}, // resumes while paused
        {"pause", "Paused"},       //
        {"play", "Playing"},       // resumes
        {"stop", "Stopped"},       //
        {"pause", "Stopped"},      // has nothing to pause
    };
    for (const Step& step : STEPS) {
        SCOPED_TRACE(std::string(step.command) + " to " + step.status);
        playerctl(step.command);
        EXPECT_EQ(playerctl("status"), step.status);
        if (std::string(step.status) == "Playing") {
            EXPECT_TRUE(wait_until(tone)) << "heard " << listen(player.audio_file, 0.2).hz << " Hz";
        } else {
            EXPECT_TRUE(wait_until(silence));
        }
        EXPECT_TRUE(shows_status(step.status));
    }
    quit_with_escape();
}

TEST_F(OnASessionBus, FloodOfCallsLeavesTheWindowItsClicksAndIsAllAnswered)
{
    make_tone_mp3("music/tone.mp3", E2E_TONE);
    ASSERT_NE(launch(), 0u);
    choose_song("tone.mp3", 3);
    move_to(PLAY_SPOT);
    ASSERT_TRUE(named_on_bus());
    Calls calls;
    ASSERT_TRUE(connect_calls(&calls, bus.address));

    // As a stuck key or a runaway script sends them: pauses while stopped,
    // each a press that does nothing. The player is held while they and a
    // click on play queue up, so that it finds both waiting at once.
    constexpr int CALLS = 5000;
    kill(player.pid, SIGSTOP);
    for (int i = 0; i < CALLS; ++i) {
        send_call(&calls, "Pause");
    }
    sd_bus_flush(calls.bus);
    click_on(PLAY_SPOT);
    kill(player.pid, SIGCONT);
    bool all_in = all_answered_and_changed(&calls);
    close_calls(&calls);

    // The click plays and the next pause pauses. The change is signalled in
    // the stream of replies, after those to the calls served before it: a
    // player that served all it found would signal it after hundreds, as
    // many as its socket held.
    constexpr int CALLS_BEFORE_CLICK_MAX = 100;
    EXPECT_TRUE(all_in);
    EXPECT_EQ(calls.sent, CALLS);
    EXPECT_EQ(calls.answered, CALLS) << calls.failed << " failed, the first with " << calls.failure;
    EXPECT_GE(calls.replies_before_change, 0) << "the click was never signalled";
    EXPECT_LT(calls.replies_before_change, CALLS_BEFORE_CLICK_MAX) << "the click waited for the calls";
    EXPECT_TRUE(shows_status("Paused"));
    quit_with_escape();
}

TEST_F(OnASessionBus, ShowsTheSongAndSignalsWhatClicksChange)
{
    // A name in Latin-1, which the bus would refuse as it stands, and one in
    // UTF-8 with a space.
    const std::string LATIN1 = "caf\xE9.mp3";
    const std::string UTF8 = "canción 2.mp3";
    make_tone_mp3("music/first.mp3", E2E_TONE);
    std::filesystem::rename("music/first.mp3", "music/" + LATIN1);
    make_tone_mp3("music/" + UTF8, E2E_TONE);
    ASSERT_NE(launch(), 0u);

    EXPECT_NE(on_bus(bus, "playerctl --list-all").find("klamor\n"), std::string::npos);
    EXPECT_NE(property("org.mpris.MediaPlayer2", "Identity").find("string \"Klamor\""), std::string::npos);
    EXPECT_NE(property("org.mpris.MediaPlayer2", "DesktopEntry").find("string \"klamor\""), std::string::npos);
    std::string nothing_chosen = property("org.mpris.MediaPlayer2.Player", "Metadata");
    EXPECT_NE(nothing_chosen.find("array ["), std::string::npos) << nothing_chosen;
    EXPECT_EQ(nothing_chosen.find("dict entry"), std::string::npos) << nothing_chosen;

    // Follows the PropertiesChanged signals as a panel widget does.
    std::filesystem::create_directory("follower");
    Player follower;
    start_program(
        &follower, dir + "/follower", dir,
        {"/usr/bin/playerctl", "--player=klamor", "--follow", "metadata", "--format", "{{status}} {{xesam:title}}"},
        {"DBUS_SESSION_BUS_ADDRESS=" + bus.address});
    auto followed = [&](const std::string& line) {
        return wait_until([&] { return player_stdout(follower).find(line + "\n") != std::string::npos; });
    };

    const std::string LATIN1_SHOWN = "caf\xEF\xBF\xBD.mp3"; // U+FFFD for the stray byte
    click_on(OPEN_SPOT);
    ASSERT_TRUE(wait_until([&] { return list_lines().size() == 4; }));
    pick_line_of(LATIN1);
    EXPECT_TRUE(followed("Stopped " + LATIN1_SHOWN)) << player_stdout(follower);
    std::string metadata = playerctl("metadata --format '{{mpris:trackid}}|{{xesam:title}}|{{xesam:url}}'");
    std::string url = "file://" + std::filesystem::current_path().string() + "/music/caf%E9.mp3";
    EXPECT_TRUE(metadata.starts_with("'/klamor/track/")) << metadata;
    EXPECT_TRUE(metadata.ends_with("|" + LATIN1_SHOWN + "|" + url)) << metadata;

    // The window's own buttons are heard on the bus too.
    click_on(PLAY_SPOT);
    EXPECT_TRUE(followed("Playing " + LATIN1_SHOWN)) << player_stdout(follower);
    // A song picked while one plays waits for stop and play: the bus goes
    // on naming the one that plays.
    pick_line_of(UTF8);
    click_on(PAUSE_SPOT);
    EXPECT_TRUE(followed("Paused " + LATIN1_SHOWN)) << player_stdout(follower);
    EXPECT_EQ(playerctl("metadata xesam:title"), LATIN1_SHOWN);
    click_on(PLAY_SPOT);
    click_on(STOP_SPOT);
    EXPECT_TRUE(followed("Stopped " + UTF8)) << player_stdout(follower);
    EXPECT_EQ(playerctl("metadata xesam:url"),
              "file://" + std::filesystem::current_path().string() + "/music/canci%C3%B3n%202.mp3");

    // A second player takes a name of its own.
    std::string second_dir = make_scratch_dir("second");
    Player second;
    second.settings = player.settings;
    start_player(&second, x, second_dir);
    EXPECT_NE(wait_for_window(x, second), 0u);
    std::string instance = "klamor.instance" + std::to_string(second.pid) + "\n";
    EXPECT_TRUE(wait_until([&] { return on_bus(bus, "playerctl --list-all").find(instance) != std::string::npos; }))
        << on_bus(bus, "playerctl --list-all");
    kill_player(&second);
    std::filesystem::remove_all(second_dir);

    end_child(&follower.pid);
    quit_with_escape();
}

} // namespace
