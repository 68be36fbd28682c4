// Writes the benchmarks' test signal: a multi-tone stereo mix with a little
// noise, as 16-bit PCM WAV, so that lame has realistic material to spend 320
// kbps on. Usage: bench_make_tone OUT.wav RATE SECONDS
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/wav_file.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int CHANNELS = 2;
// Partials of a chord spread over the spectrum, each with its own tremolo,
// so that no band of the encoder sits idle.
constexpr double PARTIALS[] = {110.0, 164.8, 220.0, 329.6, 440.0, 659.3, 1318.5, 2637.0, 5274.0, 10548.0};
constexpr double NOISE_LEVEL = 0.05;
// Peak about -1 dBFS.
constexpr double MIX_LEVEL = 0.89;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s OUT.wav RATE SECONDS\n", argv[0]);
        return 2;
    }
    const int rate = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    const uint32_t frames = static_cast<uint32_t>(rate) * static_cast<uint32_t>(seconds);
    std::vector<int16_t> samples;
    samples.reserve(static_cast<size_t>(frames) * CHANNELS);

    const int partial_count = static_cast<int>(sizeof PARTIALS / sizeof PARTIALS[0]);
    uint32_t noise = 12345;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / rate;
        for (int channel = 0; channel < CHANNELS; ++channel) {
            double sum = 0.0;
            for (int p = 0; p < partial_count; ++p) {
                const double tremolo = 0.5 + 0.5 * std::sin(2.0 * PI * (0.3 + 0.17 * p + 0.05 * channel) * t);
                sum += tremolo * std::sin(2.0 * PI * PARTIALS[p] * t + channel * 0.7 * p);
            }
            noise = noise * 1664525u + 1013904223u;
            const double white = static_cast<double>(noise >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
            const double value = MIX_LEVEL * (sum / partial_count * (1.0 - NOISE_LEVEL) + NOISE_LEVEL * white);
            samples.push_back(static_cast<int16_t>(std::lround(value * 32767.0)));
        }
    }

    if (!write_wav_file(argv[1], samples, rate, CHANNELS)) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
