// Listens to a sound server's monitor source and tells when what it carries
// turns to sound, or to silence, on the same clock as xprobe's clicks
// (std::chrono::steady_clock, in milliseconds). Recording goes through
// PulseAudio's own parec with a small fragment, so a block reaches us a few
// milliseconds after it left the sink.
//
//   bench_listen SOURCE sound     prints the time the first sound arrived
//   bench_listen SOURCE silence   prints the time the last sound ended, and
//                                 the largest step between two samples over
//                                 the last 10 ms before it, as a share of the
//                                 largest step over the 200 ms before those:
//                                 near 1 or below for a fade, far above 1
//                                 for a cut
//
// It first waits for the opposite state to hold (silence before a sound,
// sound before a silence), then prints "ready" on standard error, so that
// the caller knows when to click.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int RATE = 48000;
// Samples above this (of 32768) are sound; the null sink's monitor carries
// exact digital silence otherwise.
constexpr int THRESHOLD = 16;
// Silence counts once it has lasted this long; a fade's quiet tail or a
// zero crossing must not end the wait early.
constexpr int SILENCE_FRAMES = RATE / 10;
// The state before the click must hold this long before "ready".
constexpr int SETTLED_FRAMES = RATE / 5;
constexpr int TAIL_FRAMES = RATE / 100;
constexpr int BEFORE_TAIL_FRAMES = RATE / 5;
constexpr int BLOCK_FRAMES = 96;
constexpr int GIVE_UP_SECONDS = 20;

double ms_of(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

int largest_step(const std::vector<int16_t>& samples, size_t begin, size_t end)
{
    int step = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        step = std::max(step, std::abs(samples[i] - samples[i - 1]));
    }
    return step;
}

} // namespace

int main(int argc, char** argv)
{
    std::string want = argc == 3 ? argv[2] : "";
    if (want != "sound" && want != "silence") {
        std::fprintf(stderr, "usage: bench_listen SOURCE sound|silence\n");
        return 2;
    }
    std::string command =
        "exec parec --raw --format=s16le --channels=1 --rate=48000 --latency-msec=2 -d '" + std::string(argv[1]) + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        std::fprintf(stderr, "bench_listen: cannot start parec\n");
        return 1;
    }
    // Every read straight from the pipe, so that arrival times are exact.
    std::setvbuf(pipe, nullptr, _IONBF, 0);
    bool waiting_for_sound = want == "sound";
    std::vector<int16_t> heard;
    // When each stretch of heard samples arrived, block by block.
    std::vector<Clock::time_point> arrived;
    int16_t block[BLOCK_FRAMES];
    Clock::time_point start = Clock::now();
    int settled = 0;
    bool ready = false;
    size_t quiet_from = 0; // first sample of the current silent run, once ready
    int result = 1;
    while (Clock::now() - start < std::chrono::seconds(GIVE_UP_SECONDS)) {
        size_t got = std::fread(block, sizeof block[0], BLOCK_FRAMES, pipe);
        if (got == 0) {
            break;
        }
        Clock::time_point now = Clock::now();
        if (!ready) {
            // The opposite of what we wait for must hold first, judged by
            // blocks: a sine passes near zero twice a period.
            int peak = 0;
            for (size_t i = 0; i < got; ++i) {
                peak = std::max(peak, std::abs(static_cast<int>(block[i])));
            }
            bool loud = peak > THRESHOLD;
            settled = loud != waiting_for_sound ? settled + static_cast<int>(got) : 0;
            heard.insert(heard.end(), block, block + got);
            arrived.insert(arrived.end(), got, now);
            if (settled >= SETTLED_FRAMES) {
                ready = true;
                quiet_from = heard.size();
                std::fprintf(stderr, "ready\n");
            }
            continue;
        }
        for (size_t i = 0; i < got; ++i) {
            heard.push_back(block[i]);
            arrived.push_back(now);
            bool loud = std::abs(static_cast<int>(block[i])) > THRESHOLD;
            if (waiting_for_sound && loud) {
                std::printf("%.2f\n", ms_of(arrived.back()));
                result = 0;
                break;
            }
            if (!waiting_for_sound) {
                if (loud) {
                    quiet_from = heard.size();
                } else if (heard.size() - quiet_from >= static_cast<size_t>(SILENCE_FRAMES)) {
                    size_t end = quiet_from;
                    size_t tail = end > TAIL_FRAMES ? end - TAIL_FRAMES : 0;
                    size_t before = tail > BEFORE_TAIL_FRAMES ? tail - BEFORE_TAIL_FRAMES : 0;
                    int steady = std::max(1, largest_step(heard, before, tail));
                    std::printf("%.2f %.2f\n", ms_of(arrived[end]),
                                static_cast<double>(largest_step(heard, tail, end)) / steady);
                    result = 0;
                    break;
                }
            }
        }
        if (result == 0) {
            break;
        }
    }
    std::fflush(stdout);
    pclose(pipe);
    if (result != 0) {
        std::fprintf(stderr, "bench_listen: no %s heard within %d s\n", want.c_str(), GIVE_UP_SECONDS);
    }
    return result;
}
