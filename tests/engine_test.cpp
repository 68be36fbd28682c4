// The audio engine, driven directly: the test runs the streaming work and the
// mixer itself, so that what is heard can be measured frame by frame.
#include <SDL.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include "playback/engine.h"
#include "playback/history.h"
#include "playback/mixer.h"
#include "playback/streamer.h"
#include "tests/support.h"
#include "tests/tone.h"

namespace {

constexpr int DEVICE_RATE = 48000;
constexpr int BLOCK_FRAMES = 1024;
// The fade the engine promises: 5 ms.
constexpr int FADE_FRAMES = DEVICE_RATE * 5 / 1000;
// Anything above this is heard; the tones are at half scale.
constexpr float AUDIBLE = 0.01f;
constexpr double TONE_LEVEL = 0.5;

struct EngineCloser {
    void operator()(AudioSystem* audio) const
    {
        audio_system_close(audio);
        delete audio;
    }
};
using Engine = std::unique_ptr<AudioSystem, EngineCloser>;

// An engine with no device and no thread: the test is the callback and the
// streaming thread.
Engine start_engine(AudioOutput output = {DEVICE_RATE, 2, AUDIO_S16SYS})
{
    Engine audio(new AudioSystem{});
    char error[AUDIO_ERROR_SIZE] = "";
    EXPECT_TRUE(audio_system_create(audio.get()));
    EXPECT_TRUE(audio_system_start(audio.get(), &output, false, error, sizeof error)) << error;
    return audio;
}

std::vector<uint8_t> render_bytes(AudioSystem* audio, int frames)
{
    AudioOutput output = audio_output_format(audio);
    int frame_bytes = (output.format & 0xFF) / 8 * output.channels;
    std::vector<uint8_t> out(static_cast<size_t>(frames * frame_bytes));
    for (int done = 0; done < frames; done += BLOCK_FRAMES) {
        int n = std::min(BLOCK_FRAMES, frames - done);
        audio_service_streams(audio);
        audio_mix(audio, out.data() + done * frame_bytes, n * frame_bytes);
    }
    audio_service_streams(audio);
    return out;
}

std::vector<int16_t> render(AudioSystem* audio, int frames)
{
    std::vector<uint8_t> bytes = render_bytes(audio, frames);
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

void append(std::vector<int16_t>* all, const std::vector<int16_t>& more)
{
    all->insert(all->end(), more.begin(), more.end());
}

// Plays until every channel is idle, at most max_seconds.
std::vector<int16_t> render_to_end(AudioSystem* audio, double max_seconds)
{
    std::vector<int16_t> all;
    int limit = static_cast<int>(max_seconds * audio_output_format(audio).rate);
    while (audio_playing_count(audio) > 0 && static_cast<int>(all.size() / 2) < limit) {
        append(&all, render(audio, BLOCK_FRAMES));
    }
    return all;
}

AudioSound* play_file(AudioSystem* audio, const std::string& path)
{
    AudioSound* sound = audio_create_stream(audio, path.c_str());
    EXPECT_NE(sound, nullptr) << path << ": " << audio_last_error(audio);
    if (sound != nullptr) {
        EXPECT_TRUE(audio_play_sound(audio, sound));
    }
    return sound;
}

// The steepest a sine of this level and frequency moves between two frames,
// plus what one fade step may add on top.
// Starts the engine on SDL's disk driver, which writes what it plays to raw;
// later tests get the dummy driver back.
bool start_on_disk_device(AudioSystem* audio, const std::string& raw, char* error, int error_size)
{
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", raw.c_str(), 1);
    bool started = audio_system_create(audio) && audio_system_init(audio, error, error_size);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    return started;
}

float allowed_step(double frequency, int rate)
{
    double slope = TONE_LEVEL * 2.0 * M_PI * frequency / rate;
    return static_cast<float>((slope + TONE_LEVEL / FADE_FRAMES) * 1.1 + 0.002);
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        // Never the machine's real sound card, whatever the shell says.
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        scratch = enter_scratch_dir();
    }
    void TearDown() override { leave_scratch_dir(scratch); }

    std::string tone(const std::string& name, const ToneRecipe& recipe)
    {
        std::string path = "music/" + name;
        make_tone_mp3(path, recipe);
        return path;
    }

    std::string scratch;
};

// ---------------------------------------------------------------------------
// What is heard: pitch and speed through decoding, rate conversion and mixing.

struct PitchCase {
    const char* name;
    ToneRecipe tone;
    int device_rate;
};

class PitchTest : public EngineTest, public ::testing::WithParamInterface<PitchCase> {};

TEST_P(PitchTest, ToneComesOutAtItsFrequencyAndLength)
{
    const PitchCase& c = GetParam();
    Engine audio = start_engine({c.device_rate, 2, AUDIO_S16SYS});
    std::string path = tone("tone.mp3", c.tone);
    play_file(audio.get(), path);
    std::vector<int16_t> out = render_to_end(audio.get(), c.tone.seconds + 2.0);
    EXPECT_EQ(audio_playing_count(audio.get()), 0) << "the stream never ended";

    std::vector<float> left = channel_of(out, 0);
    std::vector<float> right = channel_of(out, 1);
    auto [begin, end] = audible_span(left, AUDIBLE);
    double heard = static_cast<double>(end - begin) / c.device_rate;
    // The codec smears up to a frame (72 ms at 8 kHz) at either end; the
    // pitch below catches finer errors of speed.
    EXPECT_NEAR(heard, c.tone.seconds, 0.15) << "played at the wrong speed, or cut short";

    size_t margin = (end - begin) / 10;
    double frequency = measure_frequency(left, c.device_rate, begin + margin, end - margin);
    EXPECT_NEAR(frequency, c.tone.frequency, c.tone.frequency * 0.005);
    // Mono goes to both sides; stereo tones are the same on both.
    EXPECT_NEAR(measure_frequency(right, c.device_rate, begin + margin, end - margin), c.tone.frequency,
                c.tone.frequency * 0.005);
    float level = 0.0f;
    for (size_t i = begin + margin; i < end - margin; ++i) {
        level = std::max(level, std::fabs(left[i]));
    }
    EXPECT_NEAR(level, TONE_LEVEL, 0.05) << "level changed on the way";
}

INSTANTIATE_TEST_SUITE_P(
    Files, PitchTest,
    ::testing::Values(PitchCase{"Mpeg1StereoAt44k", {440, 44100, 2, 1.0, ""}, DEVICE_RATE},
                      PitchCase{"Mpeg1AtDeviceRateUnconverted", {440, 48000, 2, 1.0, ""}, DEVICE_RATE},
                      PitchCase{"Mpeg2MonoAt22k", {440, 22050, 1, 1.0, ""}, DEVICE_RATE},
                      PitchCase{"Mpeg25At8k", {1000, 8000, 1, 1.0, ""}, DEVICE_RATE},
                      PitchCase{"VariableBitRate", {440, 44100, 2, 1.0, "-V 4"}, DEVICE_RATE},
                      PitchCase{"FreeFormat", {440, 44100, 2, 1.0, "--freeformat -b 320"}, DEVICE_RATE},
                      PitchCase{"DeviceGrantedOtherRate", {440, 48000, 1, 1.0, ""}, 44100}),
    [](const ::testing::TestParamInfo<PitchCase>& info) { return std::string(info.param.name); });

// A device may take several buffers at once when it opens (an ALSA device
// with several periods does) and the streaming thread may not have run by
// then: the song's start must already be waiting, with no gap in it.
TEST_F(EngineTest, FirstBurstOfADeviceHearsTheStartWhole)
{
    Engine audio = start_engine();
    play_file(audio.get(), tone("tone.mp3", {440, 44100, 2, 2.0, ""}));
    std::vector<int16_t> burst(DEVICE_RATE / 2 * 2);
    audio_mix(audio.get(), reinterpret_cast<uint8_t*>(burst.data()), static_cast<int>(burst.size() * 2));
    std::vector<float> left = channel_of(burst, 0);
    size_t begin = audible_span(left, AUDIBLE).first;
    // The encoder's own delay, about 25 ms, comes first.
    ASSERT_LT(begin, static_cast<size_t>(DEVICE_RATE / 20)) << "the start was late";
    const size_t WINDOW = DEVICE_RATE / 100;
    for (size_t at = begin; at + WINDOW <= left.size(); at += WINDOW) {
        ASSERT_GT(rms_of(left, at, at + WINDOW), TONE_LEVEL / 2) << "a gap " << at * 1000 / DEVICE_RATE << " ms in";
    }
}

// A file whose format changes part-way, as two encodings joined end to end
// do: each part plays whole, at its own rate, whether the change switches
// resamplers or switches between resampling and the device's own rate.
TEST_F(EngineTest, FormatChangeMidStreamLosesNothing)
{
    const ToneRecipe low = {440, 8000, 1, 1.0, ""};
    const ToneRecipe high = {660, 44100, 2, 1.0, ""};
    const ToneRecipe native = {550, DEVICE_RATE, 2, 1.0, ""};
    std::string low_mp3 = read_file(tone("low.mp3", low));
    std::string high_mp3 = read_file(tone("high.mp3", high));
    std::string native_mp3 = read_file(tone("native.mp3", native));
    write_file("music/low_high.mp3", low_mp3 + high_mp3);
    write_file("music/native_low.mp3", native_mp3 + low_mp3);
    write_file("music/low_native.mp3", low_mp3 + native_mp3);
    Engine audio = start_engine();
    // Everything the stream gives, to the frame it ends on.
    auto play_whole = [&](const std::string& path) {
        std::vector<int16_t> all;
        play_file(audio.get(), path);
        while (audio_playing_count(audio.get()) > 0 && all.size() < 20u * 2 * DEVICE_RATE) {
            append(&all, render(audio.get(), 64));
        }
        return channel_of(all, 0);
    };
    size_t low_length = play_whole("music/low.mp3").size();
    size_t high_length = play_whole("music/high.mp3").size();
    size_t native_length = play_whole("music/native.mp3").size();
    // The second part's own header frame decodes too: one MPEG frame, at
    // most 576 samples at 8 kHz.
    const size_t ONE_FRAME = 576 * DEVICE_RATE / 8000 + 64;

    struct Case {
        const char* path;
        size_t first_length;
        size_t second_length;
        double first_hz;
        double second_hz;
    };
    const Case cases[] = {
        {"music/low_high.mp3", low_length, high_length, low.frequency, high.frequency},
        {"music/native_low.mp3", native_length, low_length, native.frequency, low.frequency},
        {"music/low_native.mp3", low_length, native_length, low.frequency, native.frequency},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<float> left = play_whole(c.path);
        EXPECT_NEAR(static_cast<double>(left.size()), static_cast<double>(c.first_length + c.second_length), ONE_FRAME)
            << "samples were lost where the format changes";
        size_t margin = DEVICE_RATE / 5;
        ASSERT_GT(left.size(), c.first_length + 2 * margin);
        EXPECT_NEAR(measure_frequency(left, DEVICE_RATE, margin, c.first_length - margin), c.first_hz,
                    c.first_hz * 0.005);
        EXPECT_NEAR(measure_frequency(left, DEVICE_RATE, c.first_length + margin, left.size() - margin), c.second_hz,
                    c.second_hz * 0.005);
    }
}

// ---------------------------------------------------------------------------
// Pause, resume and stop: silence, position, and no clicks.

TEST_F(EngineTest, PauseSilencesAndHoldsThePlaceAndResumeGoesOnFromIt)
{
    std::string path = tone("tone.mp3", {440, 44100, 2, 1.0, ""});
    Engine reference = start_engine();
    play_file(reference.get(), path);
    std::vector<float> whole = channel_of(render_to_end(reference.get(), 3.0), 0);

    Engine audio = start_engine();
    play_file(audio.get(), path);
    std::vector<int16_t> out = render(audio.get(), DEVICE_RATE * 3 / 10);
    size_t paused_at = out.size() / 2;
    audio_set_paused(audio.get(), true);
    EXPECT_TRUE(audio_paused(audio.get()));
    std::vector<int16_t> pause = render(audio.get(), DEVICE_RATE / 2);
    append(&out, pause);
    std::vector<float> pause_left = channel_of(pause, 0);
    for (size_t i = FADE_FRAMES; i < pause_left.size(); ++i) {
        ASSERT_EQ(pause_left[i], 0.0f) << "sound " << i - FADE_FRAMES << " frames after the pause faded";
    }
    EXPECT_EQ(audio_playing_count(audio.get()), 1) << "a pause must not end the stream";
    size_t resumed_at = out.size() / 2;
    audio_set_paused(audio.get(), false);
    EXPECT_FALSE(audio_paused(audio.get()));
    append(&out, render_to_end(audio.get(), 3.0));

    std::vector<float> left = channel_of(out, 0);
    auto [begin, end] = audible_span(left, AUDIBLE);
    // The fade-out plays the song on for all but its last, silent frame, and
    // the fade-in goes on from the next one: once it is through, every frame
    // is the unpaused run's, nothing skipped or heard twice.
    size_t song_at_resume = paused_at + FADE_FRAMES - 1;
    ASSERT_GT(whole.size(), song_at_resume + 2 * FADE_FRAMES);
    for (size_t i = FADE_FRAMES; i < 2 * FADE_FRAMES; ++i) {
        ASSERT_EQ(left[resumed_at + i], whole[song_at_resume + i]) << "the resume is off at its frame " << i;
    }
    EXPECT_LE(largest_step(left, begin, end), allowed_step(440, DEVICE_RATE)) << "a click at pause or resume";
}

TEST_F(EngineTest, StopFadesToSilenceAndReleasesTheStream)
{
    int fds_before = open_fd_count();
    Engine audio = start_engine();
    play_file(audio.get(), tone("tone.mp3", {440, 44100, 2, 4.0, ""}));
    std::vector<int16_t> out = render(audio.get(), DEVICE_RATE / 4);
    size_t stopped_at = out.size() / 2;
    EXPECT_GT(open_fd_count(), fds_before) << "the file should be open while it streams";
    audio_stop(audio.get());
    append(&out, render(audio.get(), DEVICE_RATE / 4));

    std::vector<float> left = channel_of(out, 0);
    for (size_t i = stopped_at + FADE_FRAMES; i < left.size(); ++i) {
        ASSERT_EQ(left[i], 0.0f) << "sound " << i - stopped_at << " frames after the stop";
    }
    EXPECT_LE(largest_step(left, stopped_at - 100, left.size()), allowed_step(440, DEVICE_RATE)) << "a click at stop";
    EXPECT_EQ(audio_playing_count(audio.get()), 0);
    EXPECT_EQ(audio_sound_count(audio.get()), 0);
    EXPECT_EQ(open_fd_count(), fds_before);
}

TEST_F(EngineTest, StopWhilePausedEndsAtOnceAndResumeAfterwardsPlaysNothing)
{
    Engine audio = start_engine();
    play_file(audio.get(), tone("tone.mp3", {440, 44100, 2, 1.0, ""}));
    render(audio.get(), DEVICE_RATE / 10);
    audio_set_paused(audio.get(), true);
    render(audio.get(), BLOCK_FRAMES);
    audio_stop(audio.get());
    render(audio.get(), BLOCK_FRAMES);
    EXPECT_EQ(audio_sound_count(audio.get()), 0);
    audio_set_paused(audio.get(), false);
    std::vector<float> after = channel_of(render(audio.get(), DEVICE_RATE / 10), 0);
    EXPECT_EQ(audible_span(after, 0.0f).second, 0u) << "a stopped stream came back on resume";
}

// ---------------------------------------------------------------------------
// Winding the mix back, as the sound server's output does for every change:
// the test plays the server, which has been given written frames and has
// played heard of them.

struct RewriteCase {
    const char* name;
    int64_t heard, written, oldest;
    int64_t expected;
};

TEST(RewriteStart, NextChunkPastTheMarginWithinWhatCanBeTakenBack)
{
    const int margin = 960;
    const RewriteCase cases[] = {
        {"OnTheNextChunkStart", 10000, 24000, 9728, 11264},
        {"AlreadyOnAChunkStart", 10240 - margin, 24000, 9728, 10240},
        {"HistoryShorterThanTheBuffer", 10000, 40000, 12288, 12288},
        {"NothingLeftToTakeBack", 23500, 24000, 23040, 24000},
        {"WrittenEndsMidChunk", 22000, 23100, 21504, 23040},
        {"NextChunkNotWrittenYet", 22300, 23100, 21504, 23100},
        {"NothingWrittenYet", 0, 0, 0, 0},
    };
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rewrite_start(c.heard, c.written, c.oldest, margin), c.expected);
    }
}

class WoundBack : public EngineTest {
  protected:
    // An engine the test mixes for, keeping a history; and the song played
    // through untouched on another, for comparison.
    void SetUp() override
    {
        EngineTest::SetUp();
        path = tone("tone.mp3", {440, 48000, 2, 2.0, ""});
        whole = played_through(path);
        audio = start_engine();
        history_keep(audio.get());
    }

    std::vector<float> played_through(const std::string& song)
    {
        Engine reference = start_engine();
        play_file(reference.get(), song);
        return channel_of(render(reference.get(), DEVICE_RATE * 3 / 2), 0);
    }

    // The listener has heard up to heard: winds the mix back to where a
    // change is heard at once, and returns that frame.
    int64_t wind_back(int64_t heard, int64_t written)
    {
        mix_heard(audio.get(), heard);
        int64_t from = rewrite_start(heard, written, history_oldest(audio.get()), MARGIN);
        EXPECT_LT(from, written);
        EXPECT_TRUE(history_rewind(audio.get(), from));
        return from;
    }

    static constexpr int MARGIN = DEVICE_RATE / 50;
    static constexpr int WRITTEN = DEVICE_RATE / 2;
    static constexpr int HEARD = DEVICE_RATE / 4;
    // One step of a fade, and the rounding of a sum of two streams.
    static constexpr float FADE_STEP = 0.5f / FADE_FRAMES;
    static constexpr float ROUNDING = 2.0f / 32768;
    std::string path;
    std::vector<float> whole;
    Engine audio;
};

// Pause written again over what the server still holds: what was written up
// to the pause stays, the fade starts right there, and the resume goes on
// from the very sample the fade left the song at.
TEST_F(WoundBack, PauseFadesFromThereAndResumeGoesOnFromTheSameSample)
{
    play_file(audio.get(), path);
    std::vector<float> written = channel_of(render(audio.get(), WRITTEN), 0);
    int64_t from = wind_back(HEARD, WRITTEN);
    ASSERT_GT(from, HEARD);
    for (int64_t i = 0; i < from; ++i) {
        ASSERT_EQ(written[static_cast<size_t>(i)], whole[static_cast<size_t>(i)]) << i;
    }
    audio_set_paused(audio.get(), true);
    std::vector<float> paused = channel_of(render(audio.get(), static_cast<int>(WRITTEN - from)), 0);
    EXPECT_NEAR(paused[0], whole[static_cast<size_t>(from)], FADE_STEP) << "the fade did not start where wound back";
    for (size_t i = 1; i < static_cast<size_t>(FADE_FRAMES); ++i) {
        ASSERT_LE(std::fabs(paused[i]), std::fabs(whole[static_cast<size_t>(from) + i]) + ROUNDING) << i;
    }
    EXPECT_EQ(audible_span({paused.begin() + FADE_FRAMES, paused.end()}, 0.0f).second, 0u)
        << "sound after the pause's fade";

    audio_set_paused(audio.get(), false);
    std::vector<float> resumed = channel_of(render(audio.get(), DEVICE_RATE / 10), 0);
    // The fade-out moved the song on by its length but its last, silent
    // frame, which the resume plays first; the fade-in by its own length.
    size_t went_on = static_cast<size_t>(from) + FADE_FRAMES - 1;
    for (size_t i = FADE_FRAMES; i < resumed.size(); ++i) {
        ASSERT_EQ(resumed[i], whole[went_on + i]) << "resumed " << i << " frames in";
    }
    EXPECT_LE(largest_step(resumed, 0, resumed.size()), allowed_step(440, DEVICE_RATE)) << "a click at resume";
}

// A stop written again fades out from there; the stream is kept until no
// winding back can reach its end.
TEST_F(WoundBack, StopFadesFromThereAndTheStreamStaysWhileItCanBeReached)
{
    play_file(audio.get(), path);
    render(audio.get(), WRITTEN);
    int64_t from = wind_back(HEARD, WRITTEN);
    audio_stop(audio.get());
    std::vector<float> stopped = channel_of(render(audio.get(), static_cast<int>(WRITTEN - from)), 0);
    EXPECT_NEAR(stopped[0], whole[static_cast<size_t>(from)], FADE_STEP) << "the fade did not start where wound back";
    EXPECT_EQ(audible_span({stopped.begin() + FADE_FRAMES, stopped.end()}, 0.0f).second, 0u)
        << "sound after the stop's fade";
    audio_service_streams(audio.get());
    EXPECT_EQ(audio_sound_count(audio.get()), 1) << "released while a winding back could still reach it";

    // Wound back again, the stopped stream fades out again, not plays on.
    wind_back(HEARD, WRITTEN);
    std::vector<float> again = channel_of(render(audio.get(), static_cast<int>(WRITTEN - from)), 0);
    EXPECT_EQ(audible_span({again.begin() + FADE_FRAMES, again.end()}, 0.0f).second, 0u)
        << "a stopped stream came back playing";

    mix_heard(audio.get(), WRITTEN);
    audio_service_streams(audio.get());
    EXPECT_EQ(audio_sound_count(audio.get()), 0) << "kept after the listener passed its end";
}

// A stream that ended by itself in what the server still holds plays on
// when the mix is wound back before its end, until the listener has heard
// it out; a play then starts at the frame wound back to, the ended stream
// fading out under it.
TEST_F(WoundBack, EndedStreamComesBackAndAPlayStartsWhereWoundBack)
{
    std::string short_path = tone("short.mp3", {660, 48000, 2, 0.2, ""});
    std::vector<float> short_whole = played_through(short_path);
    play_file(audio.get(), short_path);
    render(audio.get(), WRITTEN);
    audio_service_streams(audio.get());
    EXPECT_EQ(audio_sound_count(audio.get()), 1) << "released while a winding back could still reach it";

    int64_t from = wind_back(DEVICE_RATE / 10, WRITTEN);
    play_file(audio.get(), path);
    std::vector<float> both = channel_of(render(audio.get(), DEVICE_RATE / 5), 0);
    for (size_t i = 0; i < static_cast<size_t>(FADE_FRAMES); ++i) {
        float fade = 1.0f - static_cast<float>(i + 1) / FADE_FRAMES;
        ASSERT_NEAR(both[i], short_whole[static_cast<size_t>(from) + i] * fade + whole[i], ROUNDING + FADE_STEP)
            << "the ended stream did not fade out from the frame wound back to, " << i << " frames in";
    }
    for (size_t i = FADE_FRAMES; i < both.size(); ++i) {
        ASSERT_EQ(both[i], whole[i]) << "the new song does not play from the frame wound back to, " << i;
    }
}

// ---------------------------------------------------------------------------
// One song at a time.

// A play while a song plays fades that one out; clicks faster than anything
// is heard never run the engine out of room, and the last play plays. On a
// sound server, which holds what it was given, nothing has been heard yet.
TEST_F(EngineTest, APlayFadesTheSongBeforeOutAndTheLastOfManyPlays)
{
    Engine audio = start_engine();
    history_keep(audio.get());
    std::string low = tone("low.mp3", {440, 48000, 2, 3.0, ""});
    std::string high = tone("high.mp3", {880, 48000, 2, 3.0, ""});
    AudioSound* first = play_file(audio.get(), low);
    render(audio.get(), DEVICE_RATE / 4);
    AudioSound* second = play_file(audio.get(), high);
    EXPECT_EQ(audio_sound_state(first), SOUND_STOPPING);
    std::vector<float> left = channel_of(render(audio.get(), DEVICE_RATE / 2), 0);
    mix_heard(audio.get(), DEVICE_RATE * 3 / 4);
    audio_service_streams(audio.get());
    EXPECT_EQ(audio_sound_state(first), SOUND_FREE) << "the song before was not released once heard out";
    EXPECT_EQ(audio_sound_state(second), SOUND_PLAYING);
    // The new song's own start is the encoder's silence: measured past it.
    EXPECT_NEAR(measure_frequency(left, DEVICE_RATE, DEVICE_RATE / 10, left.size()), 880.0, 3.0);

    for (int i = 0; i < 50; ++i) {
        ASSERT_NE(play_file(audio.get(), i % 2 == 0 ? low : high), nullptr) << "play " << i << " found no room";
        audio_stop(audio.get());
        if (i % 3 == 0) {
            render(audio.get(), 64);
        }
    }
    play_file(audio.get(), low);
    left = channel_of(render(audio.get(), DEVICE_RATE / 2), 0);
    EXPECT_NEAR(measure_frequency(left, DEVICE_RATE, DEVICE_RATE / 10, left.size()), 440.0, 3.0);
    EXPECT_EQ(audio_playing_count(audio.get()), 1);
}

// A sound server's new stream takes its whole buffer at once, then a piece
// at a time: the streaming thread, woken by the mix as the ring runs low,
// keeps the song whole however the output takes it.
TEST_F(EngineTest, ASongPlaysWholeWhenTheOutputTakesHalfASecondAtOnce)
{
    auto audio = std::make_unique<AudioSystem>();
    char error[AUDIO_ERROR_SIZE] = "";
    AudioOutput output = {DEVICE_RATE, 2, AUDIO_S16SYS};
    ASSERT_TRUE(audio_system_create(audio.get()));
    ASSERT_TRUE(audio_system_start(audio.get(), &output, true, error, sizeof error)) << error;
    history_keep(audio.get());
    play_file(audio.get(), tone("tone.mp3", {440, 44100, 2, 4.0, ""}));
    std::vector<int16_t> out(static_cast<size_t>(DEVICE_RATE) * 2 / 2);
    auto mix = [&](int frames) { audio_mix(audio.get(), reinterpret_cast<uint8_t*>(out.data()), frames * 4); };
    // As PulseAudio asks: half a second, then an eighth of a second for
    // each eighth that plays, the listener a quarter second behind.
    // The stream connects while the streaming thread decodes ahead; then
    // the server takes its whole buffer.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    mix(DEVICE_RATE / 2);
    int64_t written = DEVICE_RATE / 2;
    // As fast as the listener, and never faster, however late this thread
    // runs.
    auto next = std::chrono::steady_clock::now();
    while (written < DEVICE_RATE * 7 / 2) {
        next = std::max(next + std::chrono::milliseconds(125), std::chrono::steady_clock::now());
        std::this_thread::sleep_until(next);
        mix(DEVICE_RATE / 8);
        written += DEVICE_RATE / 8;
        mix_heard(audio.get(), written - DEVICE_RATE / 4);
    }
    EXPECT_EQ(audio_underrun_frames(audio.get()), 0) << "the mix ran dry while the song had more";
    audio_system_close(audio.get());
}

// ---------------------------------------------------------------------------
// Files that are not songs, or damaged ones.

enum class Outcome { REFUSED, PLAYS };

struct BadFileCase {
    const char* name;
    Outcome expected;
};

class BadFileTest : public EngineTest, public ::testing::WithParamInterface<BadFileCase> {
  protected:
    std::string make(const std::string& name)
    {
        std::string path = "music/" + name + ".mp3";
        std::mt19937 random(42);
        auto random_bytes = [&random](size_t n) {
            std::string bytes(n, '\0');
            for (char& b : bytes) {
                b = static_cast<char>(random());
            }
            return bytes;
        };
        auto valid = [&]() {
            make_tone_mp3("music/valid.mp3", {440, 44100, 2, 1.0, ""});
            return read_file("music/valid.mp3");
        };
        if (name == "ZeroBytes") {
            write_file(path, "");
        } else if (name == "RandomBytes") {
            write_file(path, random_bytes(3 * 1024 * 1024));
        } else if (name == "TruncatedMidFrame") {
            std::string whole = valid();
            write_file(path, whole.substr(0, whole.size() / 2 + 77));
        } else if (name == "DamagedInTheMiddle") {
            std::string whole = valid();
            std::string noise = random_bytes(4000);
            write_file(path, whole.substr(0, whole.size() / 3) + noise + whole.substr(whole.size() / 3 + 4000));
        } else if (name == "HugeId3v2Tag") {
            // A 3 MB tag full of bytes that look like frame headers: only
            // skipping it by its declared size gets to the audio.
            size_t size = 3 * 1024 * 1024;
            std::string tag = "ID3";
            tag += std::string{'\x03', '\x00', '\x00'};
            for (int shift = 21; shift >= 0; shift -= 7) {
                tag += static_cast<char>((size >> shift) & 0x7F);
            }
            std::string body = random_bytes(size);
            for (size_t i = 0; i < body.size(); i += 417) {
                body[i] = '\xFF';
                body[i + 1] = '\xFB';
            }
            write_file(path, tag + body + valid());
        } else if (name == "Id3FloodBeforeTheAudio") {
            // 20 MB of empty ID3v2 tags: each is skipped by its size, but
            // not reading through all of them is what bounds a refusal.
            std::string empty_tag("ID3\x04\0\0\0\0\0\0", 10);
            std::string flood;
            for (int i = 0; i < 2 * 1024 * 1024; ++i) {
                flood += empty_tag;
            }
            write_file(path, flood + valid());
        } else if (name == "JunkBeforeTheAudio") {
            write_file(path, random_bytes(20000) + valid());
        } else if (name == "TagsAtTheEnd") {
            std::string ape = "APETAGEX" + std::string(24, '\0');
            std::string id3v1 = "TAG" + std::string(125, ' ');
            write_file(path, valid() + ape + id3v1);
        } else if (name == "Fifo") {
            mkfifo(path.c_str(), 0600);
        } else if (name == "Directory") {
            std::filesystem::create_directory(path);
        } else if (name == "Missing") {
        } else if (name == "Device") {
            return "/dev/zero";
        } else if (name == "TextFile") {
            write_file(path, "This is not a song.\n");
        }
        return path;
    }
};

TEST_P(BadFileTest, FailsCleanlyOrPlaysWhatItHolds)
{
    const BadFileCase& c = GetParam();
    std::string path = make(c.name);
    int fds_before = open_fd_count();
    Engine audio = start_engine();
    AudioSound* sound =
        within_seconds(PATIENCE_SECONDS, [&]() { return audio_create_stream(audio.get(), path.c_str()); });
    if (c.expected == Outcome::REFUSED) {
        EXPECT_EQ(sound, nullptr);
        EXPECT_STRNE(audio_last_error(audio.get()), "");
    } else if (c.expected == Outcome::PLAYS) {
        ASSERT_NE(sound, nullptr) << audio_last_error(audio.get());
    }
    if (sound != nullptr) {
        ASSERT_TRUE(audio_play_sound(audio.get(), sound));
        std::vector<int16_t> out = within_seconds(PATIENCE_SECONDS, [&]() { return render_to_end(audio.get(), 10.0); });
        EXPECT_EQ(audio_playing_count(audio.get()), 0) << "the stream never ended";
        if (c.expected == Outcome::PLAYS) {
            std::vector<float> left = channel_of(out, 0);
            auto [begin, end] = audible_span(left, AUDIBLE);
            ASSERT_GT(end, begin + DEVICE_RATE / 10) << "nothing of the audio was heard";
            size_t margin = (end - begin) / 10;
            // Damage comes no earlier than a third of the way in.
            EXPECT_NEAR(measure_frequency(left, DEVICE_RATE, begin + margin, begin + 5 * margin / 2), 440.0, 3.0);
        }
    }
    EXPECT_EQ(audio_sound_count(audio.get()), 0);
    EXPECT_EQ(open_fd_count(), fds_before) << "a file was left open";
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(BadFileCase{"ZeroBytes", Outcome::REFUSED}, BadFileCase{"TextFile", Outcome::REFUSED},
                      BadFileCase{"RandomBytes", Outcome::REFUSED}, BadFileCase{"TruncatedMidFrame", Outcome::PLAYS},
                      BadFileCase{"DamagedInTheMiddle", Outcome::PLAYS}, BadFileCase{"HugeId3v2Tag", Outcome::PLAYS},
                      BadFileCase{"JunkBeforeTheAudio", Outcome::PLAYS}, BadFileCase{"TagsAtTheEnd", Outcome::PLAYS},
                      BadFileCase{"Id3FloodBeforeTheAudio", Outcome::REFUSED}, BadFileCase{"Fifo", Outcome::REFUSED},
                      BadFileCase{"Directory", Outcome::REFUSED}, BadFileCase{"Missing", Outcome::REFUSED},
                      BadFileCase{"Device", Outcome::REFUSED}),
    [](const ::testing::TestParamInfo<BadFileCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Lifetime: nothing left behind at close, whatever state the engine is in.
// (The soak of play and stop cycles runs through the transport.)

// Not initialised, failed, closed twice: close must cope with each, and
// everything else must refuse quietly.
TEST_F(EngineTest, EveryOperationIsSafeOnASystemThatNeverStarted)
{
    std::string path = tone("tone.mp3", {440, 44100, 2, 0.2, ""});
    auto never_created = std::make_unique<AudioSystem>();
    audio_system_close(never_created.get());

    auto created = std::make_unique<AudioSystem>();
    ASSERT_TRUE(audio_system_create(created.get()));
    EXPECT_EQ(audio_create_stream(created.get(), path.c_str()), nullptr);
    EXPECT_FALSE(audio_paused(created.get()));
    audio_stop(created.get());
    char error[AUDIO_ERROR_SIZE] = "";
    // The mix writes 16-bit stereo only; SDL converts for a device that
    // wants another format.
    for (AudioOutput silly : {AudioOutput{0, 2, AUDIO_S16SYS}, AudioOutput{48000, 1, AUDIO_U8}}) {
        error[0] = '\0';
        EXPECT_FALSE(audio_system_start(created.get(), &silly, true, error, sizeof error));
        EXPECT_STRNE(error, "");
    }
    audio_system_close(created.get());
    audio_system_close(created.get());

    EXPECT_FALSE(audio_paused(nullptr));
    audio_set_paused(nullptr, true);
    audio_stop(nullptr);
}

TEST_F(EngineTest, CloseWithStreamsPlayingStopsTheThreadAndReleasesEverything)
{
    int fds_before = open_fd_count();
    std::string path = tone("tone.mp3", {440, 44100, 2, 3.0, ""});
    auto audio = std::make_unique<AudioSystem>();
    char error[AUDIO_ERROR_SIZE] = "";
    AudioOutput output = {DEVICE_RATE, 2, AUDIO_S16SYS};
    ASSERT_TRUE(audio_system_create(audio.get()));
    ASSERT_TRUE(audio_system_start(audio.get(), &output, true, error, sizeof error)) << error;
    play_file(audio.get(), path);
    play_file(audio.get(), path);
    AudioSound* unplayed = audio_create_stream(audio.get(), path.c_str());
    ASSERT_NE(unplayed, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    within_seconds(PATIENCE_SECONDS, [&]() { audio_system_close(audio.get()); });
    EXPECT_EQ(audio_sound_count(audio.get()), 0);
    EXPECT_EQ(open_fd_count(), fds_before);
}

// ---------------------------------------------------------------------------
// Through SDL to a real (disk) device.

TEST_F(EngineTest, DiskDeviceReceivesTheToneAtItsPitch)
{
    std::string raw = scratch + "/device.raw";
    std::string path = tone("tone.mp3", {440, 22050, 1, 0.5, ""});
    int fds_before = open_fd_count();
    auto audio = std::make_unique<AudioSystem>();
    char error[AUDIO_ERROR_SIZE] = "";
    ASSERT_TRUE(start_on_disk_device(audio.get(), raw, error, sizeof error)) << error;
    AudioOutput output = audio_output_format(audio.get());
    play_file(audio.get(), path);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(PATIENCE_SECONDS);
    while (audio_playing_count(audio.get()) > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(audio_playing_count(audio.get()), 0);
    SDL_Quit();
    audio_system_close(audio.get());
    EXPECT_EQ(open_fd_count(), fds_before);

    ASSERT_EQ(output.format, AUDIO_S16SYS);
    std::string bytes = read_file(raw);
    std::vector<float> first;
    for (size_t i = 0; i + 2 <= bytes.size(); i += 2 * output.channels) {
        int16_t v;
        std::memcpy(&v, bytes.data() + i, 2);
        first.push_back(v / 32768.0f);
    }
    auto [begin, end] = audible_span(first, AUDIBLE);
    ASSERT_GT(end, begin + output.rate / 4) << "the device got no tone";
    size_t margin = (end - begin) / 10;
    EXPECT_NEAR(measure_frequency(first, output.rate, begin + margin, end - margin), 440.0, 2.5);
}

// The device is open only while something sounds; the engine says when it
// may close, and closing never loses a paused stream.
TEST_F(EngineTest, DeviceOpensOnPlayAndClosesOnceStopsAndPausesHaveFaded)
{
    std::string path = tone("tone.mp3", {440, 44100, 2, 5.0, ""});
    auto audio = std::make_unique<AudioSystem>();
    char error[AUDIO_ERROR_SIZE] = "";
    ASSERT_TRUE(start_on_disk_device(audio.get(), scratch + "/device.raw", error, sizeof error)) << error;
    auto settles_closed = [&]() {
        pollfd notified = {audio_notify_fd(audio.get()), POLLIN, 0};
        return within_seconds(30.0, [&]() {
            bool ready = poll(&notified, 1, 30'000) == 1;
            audio_settle_device(audio.get());
            return ready && !audio_device_open(audio.get());
        });
    };
    EXPECT_TRUE(settles_closed()) << "the start-up check left the device open";

    play_file(audio.get(), path);
    EXPECT_TRUE(audio_device_open(audio.get()));
    // Asked for at once, before the callback has run even once.
    audio_settle_device(audio.get());
    EXPECT_TRUE(audio_device_open(audio.get())) << "closed while a song plays";

    audio_set_paused(audio.get(), true);
    EXPECT_TRUE(settles_closed()) << "still open while paused";
    EXPECT_EQ(audio_sound_count(audio.get()), 1) << "the paused song went with the device";

    EXPECT_TRUE(audio_set_paused(audio.get(), false));
    EXPECT_TRUE(audio_device_open(audio.get()));
    audio_settle_device(audio.get());
    EXPECT_TRUE(audio_device_open(audio.get())) << "closed right after a resume";

    audio_stop(audio.get());
    EXPECT_TRUE(settles_closed()) << "still open after stop";
    EXPECT_EQ(audio_sound_count(audio.get()), 0);

    // A stop while paused with the device closed still ends the song.
    play_file(audio.get(), path);
    audio_set_paused(audio.get(), true);
    EXPECT_TRUE(settles_closed());
    audio_stop(audio.get());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (audio_sound_count(audio.get()) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(audio_sound_count(audio.get()), 0) << "a stopped song stayed";
    audio_set_paused(audio.get(), false);
    EXPECT_FALSE(audio_device_open(audio.get())) << "resuming nothing opened the device";
    SDL_Quit();
    audio_system_close(audio.get());
}

} // namespace
