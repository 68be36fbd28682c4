// Fuzzing: any bytes as a song file, opened, decoded, converted and mixed by
// the engine exactly as a play click would.
#include <SDL.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "playback/engine.h"
#include "playback/mixer.h"
#include "playback/streamer.h"

namespace {

constexpr int DEVICE_RATE = 48000;
constexpr int BLOCK_FRAMES = 1024;
// Enough for any input the fuzzer makes to play to its end: at the lowest
// rate a few bytes per frame make under a minute of audio.
constexpr int MAX_BLOCKS = DEVICE_RATE * 120 / BLOCK_FRAMES;

struct Bench {
    AudioSystem audio;
    int file; // the song, in memory
    std::string path;
    uint8_t out[BLOCK_FRAMES * 4];
};

Bench* bench()
{
    static Bench* made = [] {
        auto* b = new Bench{};
        char error[AUDIO_ERROR_SIZE] = "";
        AudioOutput output = {DEVICE_RATE, 2, AUDIO_S16SYS};
        if (!audio_system_create(&b->audio) || !audio_system_start(&b->audio, &output, false, error, sizeof error)) {
            std::fprintf(stderr, "cannot start the engine: %s\n", error);
            std::abort();
        }
        b->file = memfd_create("song.mp3", 0);
        if (b->file < 0) {
            std::abort();
        }
        b->path = "/proc/self/fd/" + std::to_string(b->file);
        return b;
    }();
    return made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bench* b = bench();
    if (ftruncate(b->file, 0) != 0 || pwrite(b->file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    AudioSound* sound = audio_create_stream(&b->audio, b->path.c_str());
    if (sound != nullptr) {
        if (!audio_play_sound(&b->audio, sound)) {
            std::abort(); // a stream that opened must play
        }
        for (int block = 0; block < MAX_BLOCKS && audio_playing_count(&b->audio) > 0; ++block) {
            audio_service_streams(&b->audio);
            audio_mix(&b->audio, b->out, sizeof b->out);
        }
        if (audio_playing_count(&b->audio) > 0) {
            std::fprintf(stderr, "the stream never ended\n");
            std::abort();
        }
        audio_service_streams(&b->audio);
    }
    if (audio_sound_count(&b->audio) != 0) {
        std::fprintf(stderr, "a stream was not released\n");
        std::abort();
    }
    return 0;
}
