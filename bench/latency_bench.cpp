// Play latency, in process: from a click on play, as update_transport sees
// it, to the moment the device callback hands the first non-silent sample to
// SDL, on SDL's dummy audio driver (which pulls one buffer per buffer time,
// as a sound card does). The player is brought up exactly as at start-up.
//
// The callback is observed from outside the engine: SDL_OpenAudio is wrapped
// at link time (-Wl,--wrap=SDL_OpenAudio), so the engine's own callback runs
// unchanged and the wrapper only looks at what it wrote.
//
// Usage: bench_latency SONG.mp3 RUNS   (prints one latency in ms per run)
#include <stdlib.h>

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "app/frame.h"
#include "playback/transport.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto GIVE_UP = std::chrono::seconds(5);

// What the wrapper needs to find again inside the callback. SDL 1.2 offers a
// single device, so one record serves; it is the benchmark's only global,
// since SDL_OpenAudio gives the wrapper no other place to keep it.
struct Tap {
    void (*callback)(void*, Uint8*, int);
    void* userdata;
    Uint16 format;
    std::atomic<bool> armed;
    std::atomic<Clock::rep> first_sound;
};

Tap tap;

bool has_sound(const Uint8* stream, int length, Uint16 format)
{
    switch (format) {
    case AUDIO_S16LSB:
    case AUDIO_S16MSB: {
        for (int i = 0; i + 1 < length; i += 2) {
            if (stream[i] != 0 || stream[i + 1] != 0) {
                return true;
            }
        }
        return false;
    }
    case AUDIO_U16LSB:
    case AUDIO_U16MSB:
        for (int i = 0; i + 1 < length; i += 2) {
            bool low_first = format == AUDIO_U16LSB;
            Uint8 high = low_first ? stream[i + 1] : stream[i];
            Uint8 low = low_first ? stream[i] : stream[i + 1];
            if (high != 0x80 || low != 0) {
                return true;
            }
        }
        return false;
    case AUDIO_U8:
        return std::any_of(stream, stream + length, [](Uint8 v) { return v != 0x80; });
    default:
        return std::any_of(stream, stream + length, [](Uint8 v) { return v != 0; });
    }
}

void tapped_callback(void* userdata, Uint8* stream, int length)
{
    Tap* t = static_cast<Tap*>(userdata);
    t->callback(t->userdata, stream, length);
    if (t->armed.load() && has_sound(stream, length, t->format)) {
        t->first_sound.store(Clock::now().time_since_epoch().count());
        t->armed.store(false);
    }
}

} // namespace

extern "C" int __real_SDL_OpenAudio(SDL_AudioSpec* desired, SDL_AudioSpec* obtained);

extern "C" int __wrap_SDL_OpenAudio(SDL_AudioSpec* desired, SDL_AudioSpec* obtained)
{
    tap.callback = desired->callback;
    tap.userdata = desired->userdata;
    SDL_AudioSpec mine = *desired;
    mine.callback = tapped_callback;
    mine.userdata = &tap;
    int result = __real_SDL_OpenAudio(&mine, obtained);
    tap.format = obtained != nullptr ? obtained->format : mine.format;
    if (obtained == nullptr) {
        // Without an obtained record SDL writes the device's figures into
        // the desired one; pass them on as if the engine had called it.
        mine.callback = desired->callback;
        mine.userdata = desired->userdata;
        *desired = mine;
    }
    return result;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SONG.mp3 RUNS\n", argv[0]);
        return 2;
    }
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    const fs::path song_file = fs::absolute(argv[1]);
    const int runs = std::atoi(argv[2]);

    // A working directory like the player's, holding the one song.
    const std::string dir = make_scratch_dir("klamor-latency");
    fs::create_symlink(song_file, fs::path(dir) / "music" / song_file.filename());
    fs::current_path(dir);

    PlayerRecords player = {};
    char error[ERROR_TEXT_SIZE] = "";
    if (!start_player(&player, error, sizeof error)) {
        std::fprintf(stderr, "bench_latency: %s\n", error);
        return 1;
    }
    UiState& ui = player.ui;
    SongPath& song = player.song;
    AudioSystem& audio = player.audio;
    std::snprintf(song.text, sizeof song.text, "%s%s", MUSIC_PREFIX, song_file.filename().c_str());

    // Clicks land at random moments of the device's period, as a user's do.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> pause_us(20000, 60000);
    int result = 0;
    for (int run = 0; run < runs && result == 0; ++run) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        tap.first_sound.store(0);
        tap.armed.store(true);
        ui.hover_button = HOVER_PLAY;
        ui.clicked = 1;
        const Clock::time_point clicked = Clock::now();
        update_transport(&ui, &audio, &song);
        while (tap.first_sound.load() == 0 && Clock::now() - clicked < GIVE_UP) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const Clock::rep heard = tap.first_sound.load();
        if (heard == 0) {
            std::fprintf(stderr, "bench_latency: no sound within %lld s of the play click\n",
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(GIVE_UP).count()));
            result = 1;
        } else {
            const Clock::time_point at{Clock::duration(heard)};
            std::printf("%.2f\n", std::chrono::duration<double, std::milli>(at - clicked).count());
            std::fflush(stdout);
        }
        tap.armed.store(false);
        ui.hover_button = HOVER_STOP;
        ui.clicked = 1;
        update_transport(&ui, &audio, &song);
        ui.clicked = 0;
    }
    stop_player(&player);
    leave_scratch_dir(dir);
    return result;
}
