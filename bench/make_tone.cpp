// Writes the benchmarks' test signal: a multi-tone stereo mix with a little
// noise, as 16-bit PCM WAV, so that lame has realistic material to spend 320
// kbps on; or, given HZ, a plain sine at half scale, whose every step
// between samples is known, for timing and judging fades.
// Usage: bench_make_tone OUT.wav RATE SECONDS [HZ]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int CHANNELS = 2;
constexpr int BYTES_PER_SAMPLE = 2;
// Partials of a chord spread over the spectrum, each with its own tremolo,
// so that no band of the encoder sits idle.
constexpr double PARTIALS[] = {110.0, 164.8, 220.0, 329.6, 440.0, 659.3, 1318.5, 2637.0, 5274.0, 10548.0};
constexpr double NOISE_LEVEL = 0.05;
// Peak about -1 dBFS.
constexpr double MIX_LEVEL = 0.89;

void put_u32(std::vector<uint8_t>* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

void put_u16(std::vector<uint8_t>* out, uint16_t value)
{
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s OUT.wav RATE SECONDS [HZ]\n", argv[0]);
        return 2;
    }
    const double sine_hz = argc == 5 ? std::atof(argv[4]) : 0.0;
    const int rate = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);
    const uint32_t frames = static_cast<uint32_t>(rate) * static_cast<uint32_t>(seconds);
    const uint32_t data_size = frames * CHANNELS * BYTES_PER_SAMPLE;

    std::vector<uint8_t> out;
    out.reserve(44 + data_size);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put_u32(&out, 36 + data_size);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_u32(&out, 16);
    put_u16(&out, 1); // PCM
    put_u16(&out, CHANNELS);
    put_u32(&out, static_cast<uint32_t>(rate));
    put_u32(&out, static_cast<uint32_t>(rate) * CHANNELS * BYTES_PER_SAMPLE);
    put_u16(&out, CHANNELS * BYTES_PER_SAMPLE);
    put_u16(&out, 8 * BYTES_PER_SAMPLE);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put_u32(&out, data_size);

    const int partial_count = static_cast<int>(sizeof PARTIALS / sizeof PARTIALS[0]);
    uint32_t noise = 12345;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        const double t = static_cast<double>(frame) / rate;
        for (int channel = 0; channel < CHANNELS; ++channel) {
            if (sine_hz > 0.0) {
                const double value = 0.5 * std::sin(2.0 * PI * sine_hz * t);
                put_u16(&out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(value * 32767.0))));
                continue;
            }
            double sum = 0.0;
            for (int p = 0; p < partial_count; ++p) {
                const double tremolo = 0.5 + 0.5 * std::sin(2.0 * PI * (0.3 + 0.17 * p + 0.05 * channel) * t);
                sum += tremolo * std::sin(2.0 * PI * PARTIALS[p] * t + channel * 0.7 * p);
            }
            noise = noise * 1664525u + 1013904223u;
            const double white = static_cast<double>(noise >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
            const double value = MIX_LEVEL * (sum / partial_count * (1.0 - NOISE_LEVEL) + NOISE_LEVEL * white);
            put_u16(&out, static_cast<uint16_t>(static_cast<int16_t>(std::lround(value * 32767.0))));
        }
    }

    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr || std::fwrite(out.data(), 1, out.size(), file) != out.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
