// The audio engine alone, in process: one song decoded, converted and mixed
// for a 48 kHz stereo 16-bit output as fast as the machine allows, with no
// device, no window and no streaming thread (the engine's single-threaded
// mode). Its CPU time per second of audio sits between the decoder's own
// floor (mpg123 -t) and the whole player's figure, and tells which side the
// difference is on.
//
// Usage: bench_engine SONG.mp3   (prints CPU seconds per second of audio, in %)
//        bench_engine --refuse FILE...
//                                (for each file: the CPU milliseconds a play click
//                                spends opening it, best of 3, and whether it was
//                                refused)
#include <time.h>

#include <SDL.h>

#include <cstdio>
#include <string>
#include <vector>

#include "playback/engine.h"
#include "playback/mixer.h"
#include "playback/streamer.h"

namespace {

// What the player's device asks for.
constexpr AudioOutput OUTPUT = {48000, 2, AUDIO_S16SYS};
// One device buffer, as SDL asks for it.
constexpr int BUFFER_FRAMES = 1024;
constexpr int FRAME_BYTES = 4;

double cpu_seconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// What refusing each file costs the frame loop: the engine opens a song on
// the caller's thread.
int measure_refusals(AudioSystem* audio, int count, char** paths)
{
    constexpr int TRIES = 3;
    for (int i = 0; i < count; ++i) {
        double best = -1.0;
        bool refused = true;
        for (int attempt = 0; attempt < TRIES; ++attempt) {
            const double start = cpu_seconds();
            AudioSound* sound = audio_create_stream(audio, paths[i]);
            const double used = cpu_seconds() - start;
            if (sound != nullptr) {
                refused = false;
                audio_release_sound(audio, sound);
            }
            if (best < 0.0 || used < best) {
                best = used;
            }
        }
        std::printf("%.3f %s %s\n", best * 1000.0, refused ? "refused" : "opened", paths[i]);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--refuse") {
        std::vector<AudioSystem> holder(1);
        char error[AUDIO_ERROR_SIZE] = "";
        if (!audio_system_create(holder.data()) ||
            !audio_system_start(holder.data(), &OUTPUT, false, error, sizeof error)) {
            std::fprintf(stderr, "bench_engine: %s\n", error);
            return 1;
        }
        int result = measure_refusals(holder.data(), argc - 2, argv + 2);
        audio_system_close(holder.data());
        return result;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SONG.mp3\n", argv[0]);
        return 2;
    }
    // Heap-held: the engine's record is large and not copyable.
    std::vector<AudioSystem> holder(1);
    AudioSystem* audio = holder.data();
    char error[AUDIO_ERROR_SIZE] = "";
    if (!audio_system_create(audio) || !audio_system_start(audio, &OUTPUT, false, error, sizeof error)) {
        std::fprintf(stderr, "bench_engine: %s\n", error);
        return 1;
    }
    const double start = cpu_seconds();
    AudioSound* sound = audio_create_stream(audio, argv[1]);
    if (sound == nullptr || !audio_play_sound(audio, sound)) {
        std::fprintf(stderr, "bench_engine: cannot play %s\n", argv[1]);
        return 1;
    }
    std::vector<uint8_t> buffer(BUFFER_FRAMES * FRAME_BYTES);
    long frames = 0;
    while (audio_playing_count(audio) > 0) {
        audio_service_streams(audio);
        audio_mix(audio, buffer.data(), static_cast<int>(buffer.size()));
        frames += BUFFER_FRAMES;
    }
    const double used = cpu_seconds() - start;
    audio_system_close(audio);
    std::printf("%.3f\n", used / (static_cast<double>(frames) / OUTPUT.rate) * 100.0);
    return 0;
}
